// Publishing: the assembled staging folder is checked and moved onto the
// version folder's name in one rename, and only then marked installed. In a
// portable home an older copy of the same tag is set aside first and put back
// when the new copy cannot be moved into place.
#include "setup.h"

#include <string.h>

namespace {

const wchar_t publish_failed[] =
    L"Could not finish installing into %ls (Windows error %lu). A preserved repair backup, if "
    L"restoration was blocked, is beside it as .rollback-*.";

}  // namespace

void publish_version(const install_paths* paths, const setup_list* list) {
    wchar_t staged_exe[PATH_CAP];
    work_path(staged_exe, L"%ls\\%ls", paths->staging, paths->run);
    if (!builder_ready(staged_exe))
        fail(L"The Builder or its self-contained .NET runtime is incomplete after unpacking (%ls). Your "
             L"antivirus may have quarantined files from %ls. Check its quarantine/history, then run "
             L"the setup again. No complete installation was published.",
             staged_exe, paths->staging);

    if (g_home.portable && GetFileAttributesW(paths->version) != INVALID_FILE_ATTRIBUTES) {
        wchar_t backup[PATH_CAP];
        work_path(backup, L"%ls.rollback-%lu-%llu", paths->version, GetCurrentProcessId(),
                  (unsigned long long)GetTickCount64());
        if (!MoveFileW(paths->version, backup)) fail(publish_failed, paths->version, GetLastError());
        if (!move_with_retries(paths->staging, paths->version, 0)) {
            DWORD error = GetLastError();
            MoveFileW(backup, paths->version);
            SetLastError(error);
            fail(publish_failed, paths->version, error);
        }
        rmtree(backup);
    } else if (!move_with_retries(paths->staging, paths->version, 0)) {
        fail(publish_failed, paths->version, GetLastError());
    }

    record_write(paths->installed_txt, list->tag, (DWORD)strlen(list->tag));
    write_parts(paths->version, list->parts, list->part_count);
}
