// What the delta road shares between its files: a part's entries as the
// release index lists them, judged against the files of an installed
// version, and the sorted set of their places that a walk of a folder looks
// things up in. Only the worker plans, fetches and places; the jobs of a
// spread read the entries and write only their own entry's fields.
#ifndef STONEWAKE_INSTALL_CHANGES_H
#define STONEWAKE_INSTALL_CHANGES_H

#include "install/install.h"

#include "base/base.h"
#include "core/index_core.h"

enum {
    INDEX_CAP = 64 << 20,  // an index larger than this is not fetched
    WANTED_CAP = 65534,    // the records one zip holds without zip64
    PLACE_CAP = 1400       // an entry's place as bytes: a dir and a name
};

// An entry of the part: the index's fields as the index gave them (its name
// in the names pool, at `name_at`), and what the road learns of it.
struct kept_entry : index_fields {
    size_t name_at;
    int wanted;            // its record is fetched; else it is taken from the installed version
    file_identity hashed;  // a kept file: the installed file that was hashed
    int found;             // seen by the walk of a folder
};

// A part on the road, from its plan until its changes are unpacked and
// checked.
struct part_changes {
    int live;     // its changes are fetched and wait to be placed and checked
    int planned;  // judged ahead of the part's turn (a repair plans every part first)
    const setup_list* list;
    unsigned index;
    const install_paths* paths;
    mem_buf entries;  // kept_entry records, in the order of the index
    mem_buf names;
    size_t count;
    size_t wanted;
    unsigned long long records;  // the wanted records' bytes
    size_t directory;            // the central directory's bytes
    range_plan plan;
    int worth;  // the plan is worth taking
    unsigned long long firsts[DELTA_MAX_RANGES];
    unsigned long long lasts[DELTA_MAX_RANGES];
    wchar_t installed[PATH_CAP];  // the installed version the files are taken from
    wchar_t zip[PATH_CAP];        // downloads\<sha256>.changes.zip
    wchar_t own[PATH_CAP];        // the part's own folder in staging, where tar unpacks the zip
    wchar_t partial[PATH_CAP];    // downloads\<sha256>.zip.part, where a whole body goes
};

part_changes* changes_of(unsigned index);
kept_entry* kept(const part_changes* c, size_t i);
void changes_free(part_changes* c);

// The release index of this run, fetched once when first needed; 0 when the
// list has none or it did not arrive whole with its digest.
MAY_END_RUN const mem_buf* run_index(const setup_list* list);
// The part's entries from the index into `c` (which is emptied first): 1
// when the index holds the part and is well formed.
int changes_load(part_changes* c, const setup_list* list, unsigned index, const install_paths* paths,
                 const mem_buf* body);
// Which entries `c->installed` lacks (hashing side by side, every hashed
// byte added to `hashed` when given), and the ranges that fetch their
// records: 1 when the road is worth taking.
int changes_plan(part_changes* c, volatile LONG64* hashed);
// A repair's bar: `bytes` of the installed files hashed so far (called from
// the hashing jobs; never ends the run).
void repair_hashed(unsigned long long bytes);
// The entry as the index gave it.
void entry_of(const part_changes* c, const kept_entry* k, index_entry* e);
// The entry's path below `folder`: as unpacked (`renamed` 0), or where the
// part's top entry has its name; `dir` 0 leaves out the part's dir (as in
// its own folder). 0 when it does not fit or is no UTF-8.
int place_path(wchar_t out[PATH_CAP], const wchar_t* folder, const part_changes* c, const kept_entry* k,
               int renamed, int dir);
int folder_there(const wchar_t* path);
// 1 when `path` is a plain file of the entry's size and SHA-256 (its
// identity then in `identity`, when given).
int file_there(const wchar_t* path, const kept_entry* k, file_identity* identity);

// Entries by their path, for a walk of a folder to look up what it finds.
struct set_place {
    const wchar_t* path;
    kept_entry* entry;
};
struct entry_set {
    path_list paths;
    mem_buf order;  // set_place records, sorted by path
    size_t count;
};
// Adds the entry at `path`. 0 when out of memory.
int entry_set_add(entry_set* s, const wchar_t* path, kept_entry* entry);
// Sorts what was added; call once, before looking anything up.
void entry_set_sort(entry_set* s);
const set_place* entry_set_at(const entry_set* s, size_t i);
// What a walk found at `path`: 1 for an entry of its kind (a file of its
// size; the entry is then marked found), or a folder that holds an entry
// (tar and the setup make the folders along an entry's name); 0 otherwise.
int entry_set_takes(const entry_set* s, const wchar_t* path, int folder, unsigned long long size);
// 1 when every entry of the set was found.
int entry_set_complete(const entry_set* s);
void entry_set_free(entry_set* s);
// A part taken over whole is compared with the index as its folder is
// walked: the set of its entries (the part's slot holds them), by their paths
// in the installed version whose part folder is `source`. 1 with the set,
// 0 when there is nothing to compare with (no index, or the index lacks the
// part), -1 when the set could not be made.
MAY_END_RUN int part_listing(const setup_list* list, unsigned index, const install_paths* paths,
                             const wchar_t* source, entry_set* set);
// Walks `folder` (every file and folder below it, never into a link) and
// asks `takes` about each with its path, kind and size: 1 when every one was
// taken. Entries at the top of `folder` named in `spared` (a list of names
// ending with 0) are passed over.
int folder_walk(const wchar_t* folder, const wchar_t* const* spared,
                int (*takes)(void* context, const wchar_t* path, int folder, unsigned long long size),
                void* context);

#endif
