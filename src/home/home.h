// The Builder home: bounded paths inside it, its marker, its discovery.
#ifndef STONEWAKE_HOME_HOME_H
#define STONEWAKE_HOME_HOME_H

#include "setup.h"

// The Builder home record.
struct qb_home {
    wchar_t path[PATH_CAP];
    int portable;
};
// Filled by start-up (qb_home_select) before the worker exists.
extern qb_home g_home;
extern int g_home_ok;

// A path that does not fit is -1 (the text is then cut), or in a portable
// home ends the run.
MAY_END_RUN int home_path(wchar_t out[PATH_CAP], const wchar_t* fmt, ...);
// home_path for the worker's own paths: one that does not fit ends the run.
MAY_END_RUN void work_path(wchar_t out[PATH_CAP], const wchar_t* fmt, ...);
int qb_home_join(wchar_t* out, size_t capacity, const wchar_t* folder, const wchar_t* name);
int qb_home_full(wchar_t out[PATH_CAP], const wchar_t* in);
int qb_home_parent(wchar_t* path);
// Reads at most `capacity` bytes of a small file (shared with every other
// reader and writer, also one renaming a record over it): 1 with the count,
// 0 when it does not exist, -1 when it cannot be read.
int qb_home_bytes(const wchar_t* path, char* buffer, DWORD capacity, DWORD* count);
int qb_home_is_root(const wchar_t* path);
int qb_home_marked(const wchar_t* folder);
int qb_home_make_marker(const wchar_t* folder);
int qb_home_discover(qb_home* home, const wchar_t* explicit_home, const wchar_t* setup_path,
                     const wchar_t* default_home, int named_launcher);
// The whole selection of start-up, ordinary or portable mode, with the
// export to the environment. Fills g_home and returns what g_home_ok becomes.
MAY_END_RUN int qb_home_select(int portable_mode);
// Creates a folder with all its missing ancestors; results are ignored.
void make_folders(const wchar_t* path);
// 1 when the file name of `module_path` is stonewake.exe in any case.
int launcher_named(const wchar_t* module_path);

#endif
