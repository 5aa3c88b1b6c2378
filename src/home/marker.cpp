// The portable marker: a small file that makes a folder a portable Builder
// home. A damaged or misplaced marker answers -1 and stops the setup instead
// of being ignored.
#include "home/home.h"

#include <string.h>
#include <wchar.h>

namespace {

const char marker_text[] = "Stonewake Builder portable home v1";  // 34 bytes
const wchar_t marker_name[] = L".tarnwick-portable";
enum { MARKER_TEXT = 34, FOLDER_MAX = 240 };

}  // namespace

int qb_home_marked(const wchar_t* folder) {
    if (wcslen(folder) > FOLDER_MAX) return -1;
    wchar_t path[PATH_CAP];
    if (!qb_home_join(path, PATH_CAP, folder, marker_name)) return -1;
    char bytes[37];
    DWORD count = 0;
    int read = qb_home_bytes(path, bytes, sizeof bytes, &count);
    if (read <= 0) return read;
    if (count == 0 || count > 36) return -1;
    while (count > 0 && (bytes[count - 1] == '\r' || bytes[count - 1] == '\n')) --count;
    if (count != MARKER_TEXT || memcmp(bytes, marker_text, MARKER_TEXT) != 0) return -1;
    // The content is tested before the location: a root without a marker is 0.
    if (qb_home_is_root(folder)) return -1;
    return 1;
}

int qb_home_make_marker(const wchar_t* folder) {
    if (wcslen(folder) > FOLDER_MAX) return 0;
    wchar_t path[PATH_CAP];
    if (!qb_home_join(path, PATH_CAP, folder, marker_name)) return 0;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, 0, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, 0);
    if (file == INVALID_HANDLE_VALUE) return qb_home_marked(folder) == 1;
    char content[MARKER_TEXT + 1];
    memcpy(content, marker_text, MARKER_TEXT);
    content[MARKER_TEXT] = '\n';
    DWORD written = 0;
    BOOL ok = WriteFile(file, content, sizeof content, &written, 0);
    CloseHandle(file);
    if (!ok || written != sizeof content) {
        // The file is ours (CREATE_NEW): a marker that could not be written
        // whole is removed, so it never blocks later starts as a damaged one.
        DeleteFileW(path);
        return 0;
    }
    return 1;
}
