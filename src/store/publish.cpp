// Publishing: the assembled staging folder is checked and moved onto the
// version folder's name in one rename, and only then marked installed. An
// older copy of the same tag stays in place until this moment: it is set
// aside under a backup name first, put back when the new copy cannot be moved
// into place, and swept with the old versions once the new copy's records are
// written and the Builder started.
#include "store/store.h"

#include <string.h>

#include "base/base.h"
#include "home/home.h"
#include "base/folder_each.h"
#include "base/wide.h"

namespace {

const wchar_t publish_failed[] =
    L"Could not finish installing into %ls (Windows error %lu). A preserved repair backup, if "
    L"restoration was blocked, is beside it as .rollback-*.";

MAY_END_RUN void mark_installed(const install_paths* paths, const setup_list* list) {
    test_point("published");
    record_write(paths->installed_txt, list->tag, (DWORD)strlen(list->tag));
    test_point("installed-written");
    write_parts(paths->version, list->parts, list->part_count);
}

}  // namespace

void publish_version(const install_paths* paths, const setup_list* list) {
    wchar_t staged_exe[PATH_CAP];
    work_path(staged_exe, L"%ls\\%ls", paths->staging, paths->run);
    if (!builder_ready(staged_exe))
        fail(L"The Builder or its self-contained .NET runtime is incomplete after unpacking (%ls). Your "
             L"antivirus may have quarantined files from %ls. Check its quarantine/history, then run "
             L"the setup again. No complete installation was published.",
             staged_exe, paths->staging);

    // Whatever holds the version's name is set aside, a file as well as a
    // folder: a stray file there must not fail every run.
    DWORD there = GetFileAttributesW(paths->version);
    if (there == INVALID_FILE_ATTRIBUTES) {
        if (!move_with_retries(paths->staging, paths->version, 0))
            fail(publish_failed, paths->version, GetLastError());
        mark_installed(paths, list);
        return;
    }
    // A repair, or a copy left damaged or unmarked: never deleted in place.
    wchar_t backup[PATH_CAP];
    work_path(backup, L"%ls.rollback-%lu-%llu", paths->version, GetCurrentProcessId(),
              (unsigned long long)GetTickCount64());
    if (!MoveFileW(paths->version, backup)) {
        DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            fail(L"The Stonewake Builder in %ls is in use, so it cannot be replaced (Windows error %lu). "
                 L"Close the Stonewake Builder and run the setup again.",
                 paths->version, error);
        fail(publish_failed, paths->version, error);
    }
    test_point("set-aside");
    if (!move_with_retries(paths->staging, paths->version, 0)) {
        DWORD error = GetLastError();
        MoveFileW(backup, paths->version);
        SetLastError(error);
        fail(publish_failed, paths->version, error);
    }
    mark_installed(paths, list);
    // The old copy goes with the sweep that follows the Builder's start (or a
    // later one): it is no longer the version's folder, only disk space.
    if (!(there & FILE_ATTRIBUTE_DIRECTORY)) delete_file(backup);
}

namespace {

struct restore {
    const wchar_t* versions;
    const wchar_t* version;
    int restored;
};

// The first backup folder that can take the version's name takes it.
MAY_END_RUN int restore_one(void* context, const WIN32_FIND_DATAW* found) {
    restore* r = (restore*)context;
    if (!is_folder(found->dwFileAttributes)) return 1;
    wchar_t backup[PATH_CAP];
    if (home_path(backup, L"%ls\\%ls", r->versions, found->cFileName) >= 0 && MoveFileW(backup, r->version))
        r->restored = 1;
    return !r->restored;
}

}  // namespace

MAY_END_RUN static int version_restore(const wchar_t* versions, const wchar_t* tag) {
    wchar_t version[PATH_CAP];
    wchar_t pattern[PATH_CAP];
    if (home_path(version, L"%ls\\%ls", versions, tag) < 0 ||
        home_path(pattern, L"%ls.rollback-*", version) < 0)
        return 0;
    if (GetFileAttributesW(version) != INVALID_FILE_ATTRIBUTES) return 0;
    restore r = {versions, version, 0};
    folder_each(pattern, restore_one, &r);
    return r.restored;
}

int version_restore_current(const wchar_t* versions) {
    char tag[LIST_TAG_CAP];
    wchar_t wide_tag[LIST_TAG_CAP];
    if (!current_tag_read(versions, tag) || !tag_wide(tag, wide_tag)) return 0;
    return version_restore(versions, wide_tag);
}
