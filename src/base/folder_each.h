// The one walk over a folder's entries: it owns its search handle and never
// hands out the "." and ".." entries.
#ifndef STONEWAKE_BASE_FOLDER_EACH_H
#define STONEWAKE_BASE_FOLDER_EACH_H

#include <windows.h>

// 1 for a folder that is no link (a junction or symbolic link to a folder is
// not one); 0 also for INVALID_FILE_ATTRIBUTES.
int is_folder(DWORD attributes);

// Called with each entry; 1 goes on, 0 stops the walk.
typedef int (*folder_entry_fn)(void* context, const WIN32_FIND_DATAW* found);

// Hands `each` the entries that `pattern` finds (a folder and "\*", or a
// wildcard name), in the order the search lists them. The search handle is
// closed on every way out, keeping the last error. Returns
//   1 when the search listed every entry (or found none: ERROR_FILE_NOT_FOUND),
//   0 when `each` stopped it or the listing broke off (the last error tells),
//  -1 when the search could not start (the last error tells).
int folder_each(const wchar_t* pattern, folder_entry_fn each, void* context);

#endif
