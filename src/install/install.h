// Part installation: the install decision and staging, taking parts over,
// the delta road, downloads, unpacking and placing, the repair.
#ifndef STONEWAKE_INSTALL_INSTALL_H
#define STONEWAKE_INSTALL_INSTALL_H

#include "setup.h"

#include "core/core.h"
#include "release/release.h"
#include "store/store.h"

MAY_END_RUN void install_paths_form(const setup_list* list, install_paths* out);
int install_needed(const install_paths* paths, int repair);
MAY_END_RUN void install_version(const fetch_result* fetched, install_paths* paths);
// 1 when the installed version holds this part, with the part's folder there
// (`source`) and where it goes in the staging folder (`destination`);
// part_reuse then takes it over from there (0 when it could not).
MAY_END_RUN int part_reusable(const setup_list* list, unsigned index, const install_paths* paths,
                  wchar_t source[PATH_CAP], wchar_t destination[PATH_CAP]);
MAY_END_RUN int part_reuse(const setup_list* list, unsigned index, const install_paths* paths,
                           const wchar_t* source, const wchar_t* destination);
// The tree at `source` rebuilt at `destination`: folders made, files hard
// linked (or copied where links are refused). 0 at the first failure, with
// what was made so far left in place; links below `source` fail it.
int copy_part_tree(const wchar_t* source, const wchar_t* destination);
MAY_END_RUN void part_fetch(const setup_list* list, unsigned index, const wchar_t* downloads,
                const wchar_t* archive);
// Unpacking goes on beside the worker: unpack_start starts Windows' tar.exe
// on a part's archive, into a folder of its own, once fewer tars run than the
// machine has logical processors (at most 4), and returns; unpack_finish
// waits for every running tar (1 when it waited for one, 0 when none ran);
// unpack_poll, called while the next part downloads, notices a tar that
// failed without waiting for the download to end. Tars are judged and their
// parts put in place in the list's order: a failure is reported for the
// earliest failing part, a later one's only once every earlier part has
// ended well. run_end() finishes the running tars first, so that an earlier
// part's failure is the one reported.
MAY_END_RUN void unpack_start(const setup_list* list, unsigned index, const wchar_t* staging,
                  const wchar_t* archive);
MAY_END_RUN int unpack_finish(void);
MAY_END_RUN void unpack_poll(void);
// The same for a zip of a part's changes, save that a tar that fails on it is
// no failure of the run: unpack_finish keeps the outcome, and
// unpack_changes_taken hands it on once (1 unpacked, -1 failed, 0 none since
// the last call), with the part's index.
MAY_END_RUN void unpack_changes_start(const setup_list* list, unsigned index, const wchar_t* staging,
                                      const wchar_t* archive);
int unpack_changes_taken(unsigned* index);
// A failure of part `index` is being reported: failures of later parts are
// no longer judged.
void unpack_failing(unsigned index);
// Where a part goes in the staging folder (its `dir`), and the folder of its
// own that its tar unpacks into.
MAY_END_RUN void part_destination(const wchar_t* staging, const part_record* part, wchar_t out[PATH_CAP]);
MAY_END_RUN void part_own_folder(const wchar_t* staging, const setup_list* list, unsigned index,
                                 wchar_t out[PATH_CAP]);
// Moves what the part's tar unpacked into its own folder to the part's place
// (a folder that is there merged, the part's files winning), then names its
// top entry.
MAY_END_RUN void part_place(const setup_list* list, unsigned index, const wchar_t* staging);
// The part's top entry, unpacked into `destination`, gets its name (from -> to).
MAY_END_RUN void part_top_rename(const setup_list* list, unsigned index, const wchar_t* destination);
// The delta road of an update, for a part that is not taken over whole: the
// files the installed version holds with the same size and SHA-256 at the
// same place are linked into the staging folder, the local records of the
// other entries are fetched by byte ranges of the part's own zip into a zip
// of their own, and that zip is unpacked by tar. Each step returns 0 when the
// road is not taken or failed; then nothing it staged is left, and the part
// is fetched whole. part_changes_fetch decides from the release index and
// fetches the records into `zip`; part_changes_place links the kept files
// (after the part before is unpacked); part_changes_check, after the tar,
// finds every entry in place with its size and every unpacked file with its
// SHA-256, and gives the top entry its name. part_changes_drop removes what
// the road staged for the part.
MAY_END_RUN int part_changes_fetch(const setup_list* list, unsigned index, const install_paths* paths,
                                   const wchar_t* downloads, wchar_t zip[PATH_CAP]);
MAY_END_RUN int part_changes_place(unsigned index);
MAY_END_RUN int part_changes_check(unsigned index);
MAY_END_RUN void part_changes_drop(unsigned index);
// A part that a repair found whole in the installed copy: its files linked,
// its top entry named. 0 when that was not the plan, or failed (then it is
// fetched whole).
MAY_END_RUN int part_changes_keep(unsigned index);
// The healing road of a repair, or of a run that found the listed version's
// Builder incomplete: when the list has an index and the listed version is
// installed, shows "Checking the installed files...", hashes every file of
// it against the index and plans every part; 1 when the road is taken, with
// `intact` 1 when nothing is to be done (every file intact, nothing unlisted).
MAY_END_RUN int repair_plan(const fetch_result* fetched, const install_paths* paths, int* intact);
// 1 when the repair found the part whole, for part_changes_keep.
int repair_keeps_whole(unsigned index);
// The part is in place: healed (its damaged files fetched) or fetched whole.
void repair_part_done(unsigned index, int whole);
// In CLI mode, after a repair: "Repaired: ... fetched (... bytes); ... were intact."
void repair_report(const fetch_result* fetched);
// Builds the tar command line (and, when a path cannot pass through the ANSI
// code page, the relative forms). Returns 0 when it does not fit.
int tar_command_line(wchar_t* out, size_t cap, const wchar_t* system_folder,
                     const wchar_t* archive, const wchar_t* destination);

#endif
