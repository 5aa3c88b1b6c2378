// The install decision and the staging folder: where the listed version
// lives, whether it must be installed, and the per-part loop that assembles
// it in versions\<tag>.part before it is published.
#include "install/install.h"

#include <wchar.h>

#include "base/base.h"
#include "home/home.h"
#include "base/wide.h"

namespace {

// The part's archive in the downloads folder: downloads\<sha256>.zip.
MAY_END_RUN void archive_path(const fetch_result* fetched, unsigned index, wchar_t out[PATH_CAP]) {
    work_path(out, L"%ls\\%hs.zip", fetched->downloads, fetched->list.parts[index].sha256);
}

// Waits for every part being unpacked and puts them in place. When a part's
// changes did not unpack as the index lists them, the part is fetched whole
// and unpacked (and waited for) before anything comes after it.
MAY_END_RUN void unpacked_wait(const fetch_result* fetched, const install_paths* paths) {
    unpack_finish();
    unsigned index = 0;
    int unpacked = unpack_changes_taken(&index);
    if (unpacked == 0) return;
    if (unpacked > 0 && part_changes_check(index)) {
        repair_part_done(index, 0);
        return;
    }
    part_changes_drop(index);
    wchar_t archive[PATH_CAP];
    archive_path(fetched, index, archive);
    part_fetch(&fetched->list, index, fetched->downloads, archive);
    repair_part_done(index, 1);
    unpack_start(&fetched->list, index, paths->staging, archive);
    unpack_finish();
}

}  // namespace

void install_paths_form(const setup_list* list, install_paths* out) {
    // The tag and the run path passed the name rule (ASCII, shorter than their
    // buffers); one that did not convert is refused as a bad name is.
    if (!tag_wide(list->tag, out->tag)) fail(list_name_refused);
    // The run path as it is put below a version: '\' separators, none at its end.
    char run[LIST_NAME_CAP];
    layout_relative(run, list->run);
    if (!utf8_wide(run, out->run, PATH_CAP)) fail(list_name_refused);
    work_path(out->versions, L"%ls\\versions", g_home.path);
    work_path(out->version, L"%ls\\%ls", out->versions, out->tag);
    work_path(out->installed_txt, L"%ls\\installed.txt", out->version);
    work_path(out->builder_exe, L"%ls\\%ls", out->version, out->run);
    out->staging[0] = 0;
}

int install_needed(const install_paths* paths, int repair) {
    if (repair) return 1;
    if (GetFileAttributesW(paths->installed_txt) == INVALID_FILE_ATTRIBUTES) return 1;
    return !builder_ready(paths->builder_exe);
}

void install_version(const fetch_result* fetched, install_paths* paths) {
    // Before anything runs beside the worker: a hash there never opens it.
    sha256_ready();
    work_path(paths->staging, L"%ls\\%ls.part", paths->versions, paths->tag);
    rmtree(paths->staging);
    // A repair, or a version found incomplete, heals the installed copy of
    // this tag when the index allows: nothing to do when every file is intact.
    int intact = 0;
    int healing = repair_plan(fetched, paths, &intact);
    if (intact) {
        repair_report(fetched);
        return;
    }
    // An older copy of this tag stays whole and usable until publishing
    // sets it aside.
    make_folders(paths->staging);

    // While tars unpack parts side by side, the next part downloads. A part
    // is taken over from the installed version, its changes are placed, and
    // a tar starts beside a part's changes, only once every part before it
    // is unpacked and in place.
    const setup_list* list = &fetched->list;
    int changes_unpacking = 0;
    for (unsigned i = 0; i < list->part_count; ++i) {
        wchar_t archive[PATH_CAP];
        archive_path(fetched, i, archive);
        wchar_t kept[PATH_CAP];
        wchar_t destination[PATH_CAP];
        if (repair_keeps_whole(i) || (!healing && part_reusable(list, i, paths, kept, destination))) {
            unpacked_wait(fetched, paths);
            changes_unpacking = 0;
            if (healing ? part_changes_keep(i) : part_reuse(list, i, paths, kept, destination)) {
                repair_part_done(i, 0);
                test_point("part-kept");
                continue;
            }
        }
        wchar_t changes[PATH_CAP];
        if (part_changes_fetch(list, i, paths, fetched->downloads, changes)) {
            unpacked_wait(fetched, paths);
            changes_unpacking = 0;
            if (part_changes_place(i)) {
                test_point("changes-linked");
                unpack_changes_start(list, i, paths->staging, changes);
                test_point("changes-unpacking");
                changes_unpacking = 1;
                continue;
            }
        }
        part_fetch(list, i, fetched->downloads, archive);
        repair_part_done(i, 1);
        if (changes_unpacking) unpacked_wait(fetched, paths);
        changes_unpacking = 0;
        unpack_start(list, i, paths->staging, archive);
    }
    unpacked_wait(fetched, paths);
    publish_version(paths, list);
    repair_report(fetched);
}
