// The version store: the records, the completeness check, publishing a
// version, the sweep, the home's lock, starting the Builder.
#ifndef STONEWAKE_STORE_STORE_H
#define STONEWAKE_STORE_STORE_H

#include "setup.h"

#include "core/core.h"

// Where a version of the list goes in the versions folder, and its records.
struct install_paths {
    wchar_t versions[PATH_CAP];
    wchar_t version[PATH_CAP];
    wchar_t installed_txt[PATH_CAP];
    wchar_t builder_exe[PATH_CAP];
    wchar_t staging[PATH_CAP];
    wchar_t tag[LIST_TAG_CAP];
    wchar_t run[PATH_CAP];
};
// The wide form of a part's folder inside a version.
int part_folder(const part_record* part, wchar_t out[PATH_CAP]);
int builder_ready(const wchar_t* exe);
// Removes a folder and all below it (a link alone, never what it points to;
// nothing when the name holds a file). Its files go as delete_file deletes.
NEVER_ENDS_RUN void rmtree(const wchar_t* folder);
// Deletes a file, also a read-only one, without changing what its other hard
// links share with it: an installed version's file linked into a staging
// folder, or the new version's file linked from the one swept away, keeps
// its read-only attribute. Where the system cannot delete past the
// attribute, it is cleared through a handle, the name is marked for
// deletion, and the attribute is put back through the same handle.
int delete_file(const wchar_t* path);
// Removes every folder in the versions folder but the version of `tag`
// (renamed to a .gone name first); with `tag` 0, only what a sweep left under
// .gone names (a file in use, such as the running Builder's).
NEVER_ENDS_RUN void version_sweep(const wchar_t* versions, const char* tag);
void record_write(const wchar_t* path, const char* bytes, DWORD count);
// The first line of a record (at most 127 bytes, cut at CR or LF); 0 when the
// file cannot be read (the text is then empty).
int first_line_read(const wchar_t* path, char text[LIST_TAG_CAP]);
// The installed version's tag, as versions\current.txt names it: 1 only for a
// tag that passes the name rules (no name outside the versions folder), else
// 0 with the tag empty.
MAY_END_RUN int current_tag_read(const wchar_t* versions, char tag[LIST_TAG_CAP]);
MAY_END_RUN void write_parts(const wchar_t* version, const part_record* parts, unsigned count);
// The records of a run that installed or found the list's version: parts.txt
// when missing, current.txt and previous.txt, and serial.txt (the highest
// serial of a signed list this home has used; `serial` 0: none to record).
MAY_END_RUN void records_step(const install_paths* paths, const setup_list* list,
                              unsigned long long serial);
// The serial that versions\serial.txt records; 0 when none or unreadable.
MAY_END_RUN unsigned long long serial_read(const wchar_t* versions);
MAY_END_RUN void publish_version(const install_paths* paths, const setup_list* list);
// One setup at a time per Builder home: a named mutex of the home's path.
// home_lock_take waits (with a status line) while another setup holds it;
// home_lock_release lets the next one go (both calls from the worker).
void home_lock_name(const wchar_t* home, wchar_t out[64]);
void home_lock_take(void);
NEVER_ENDS_RUN void home_lock_release(void);
// Takes the lock only when no other setup holds it; 1 when taken.
int home_lock_try(void);
// A run ended between setting the old copy of a tag aside and moving the new
// copy into place leaves that tag only under its backup name: the current
// version's backup goes back under its own name. Called only under the home's
// lock, so no running setup is between those two moves. 1 when put back.
MAY_END_RUN int version_restore_current(const wchar_t* versions);
// Starts the Builder after an install ("Starting the Stonewake Builder...";
// the window closes in window mode) and hands back its process;
// builder_finish then, in CLI mode, waits for it and takes its exit code as
// the run's, sweeps what the sweep had to leave while it ran (when no other
// setup holds the home), and ends the run's window and message loop.
MAY_END_RUN void builder_start(const wchar_t* exe, HANDLE* process);
NEVER_ENDS_RUN void builder_finish(HANDLE process, const wchar_t* versions);
MAY_END_RUN int launch_installed(void);

#endif
