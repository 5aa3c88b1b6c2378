// Healing an installed version of the listed tag, on --repair or when its
// Builder is found incomplete: every file of it is hashed against the signed
// index, side by side; then the new copy is staged as an update is, the
// files that match linked from the installed copy and only the records of
// the others fetched by the delta road. A part that cannot be healed so (the
// index lacks it, too many ranges, over half of it damaged, a host that does
// not take ranges) comes whole. What the index does not list is not carried
// into the new copy. A version with every file intact and nothing else in it
// is left as it is.
#include "install/changes.h"

#include <string.h>

#include "ui/ui.h"

namespace {

struct repair_state {
    int on;                       // this run heals versions\<tag>
    unsigned files;               // file entries of the parts the index lists
    unsigned intact;              // of them, taken from the installed copy
    unsigned fetched;             // fetched, by their records or with a whole part
    unsigned long long total;     // the bytes the check hashes
    unsigned long long received;  // the bytes received before the parts
    unsigned part_files[LIST_MAX_PARTS];
    unsigned part_wanted[LIST_MAX_PARTS];
};
repair_state g_repair;
volatile LONG64 g_hashed;

int version_takes(void* context, const wchar_t* path, int folder, unsigned long long size) {
    return entry_set_takes((const entry_set*)context, path, folder, size);
}

// 1 when the installed copy holds nothing that no part lists (its own
// records beside): what the index does not list is not carried over.
int version_only_listed(const install_paths* paths, const setup_list* list) {
    static const wchar_t* const records[] = {L"installed.txt", L"parts.txt", 0};
    entry_set set = {};
    int listed = 1;
    for (unsigned p = 0; listed && p < list->part_count; ++p) {
        part_changes* c = changes_of(p);
        for (size_t i = 0; listed && c->planned && i < c->count; ++i) {
            wchar_t path[PATH_CAP];
            listed = place_path(path, paths->version, c, kept(c, i), 1, 1) && entry_set_add(&set, path, kept(c, i));
        }
    }
    entry_set_sort(&set);
    listed = listed && folder_walk(paths->version, records, version_takes, &set);
    entry_set_free(&set);
    return listed;
}

// Every part the index lists, its entries judged against the installed copy.
void repair_judge(const setup_list* list, const install_paths* paths, const mem_buf* body) {
    for (unsigned p = 0; p < list->part_count; ++p) {
        part_changes* c = changes_of(p);
        if (!changes_load(c, list, p, paths, body)) {
            changes_free(c);
            continue;
        }
        memcpy(c->installed, paths->version, sizeof c->installed);
        c->planned = 1;
        for (size_t i = 0; i < c->count; ++i)
            if (!kept(c, i)->folder) {
                g_repair.part_files[p]++;
                g_repair.total += kept(c, i)->size;
            }
        g_repair.files += g_repair.part_files[p];
    }
    for (unsigned p = 0; p < list->part_count; ++p) {
        part_changes* c = changes_of(p);
        if (!c->planned) continue;
        changes_plan(c, &g_hashed);
        for (size_t i = 0; i < c->count; ++i) g_repair.part_wanted[p] += kept(c, i)->wanted && !kept(c, i)->folder;
        test_point("checked");  // this part's files hashed, the next one's not yet
    }
}

}  // namespace

void repair_hashed(unsigned long long bytes) {
    if (g_repair.total) progress_show((LONG)(bytes * 100 / g_repair.total));
}

int repair_plan(const fetch_result* fetched, const install_paths* paths, int* intact) {
    const setup_list* list = &fetched->list;
    *intact = 0;
    if (!list->index.url[0] || GetFileAttributesW(paths->installed_txt) == INVALID_FILE_ATTRIBUTES) return 0;
    status(L"Checking the installed files...");
    const mem_buf* body = run_index(list);
    if (!body) return 0;
    progress_show(0);
    repair_judge(list, paths, body);
    InterlockedExchange(&g_percent, -1);
    int damaged = !version_only_listed(paths, list);
    for (unsigned p = 0; p < list->part_count; ++p) {
        const part_changes* c = changes_of(p);
        // A part not judged to its end (a place that does not fit, a record
        // the road cannot take) is not known to be intact: it comes whole.
        damaged |= !c->planned || !c->worth || c->wanted != 0;
    }
    g_repair.on = 1;
    g_repair.received = http_received();
    *intact = !damaged;
    if (*intact) g_repair.intact = g_repair.files;
    return 1;
}

int repair_keeps_whole(unsigned index) {
    const part_changes* c = changes_of(index);
    return g_repair.on && c->planned && c->worth && c->wanted == 0;
}

void repair_part_done(unsigned index, int whole) {
    if (!g_repair.on || index >= LIST_MAX_PARTS) return;
    unsigned files = g_repair.part_files[index];
    unsigned wanted = whole ? files : g_repair.part_wanted[index];
    g_repair.fetched += wanted;
    g_repair.intact += files - wanted;
}

void repair_report(const fetch_result* fetched) {
    if (!g_repair.on || !fetched->repair || !g_headless) return;
    static const wchar_t repaired[] = L"Repaired: %u files of %u fetched (%llu bytes); %u were intact.";
    // The text and three numbers of 10 digits and one of 20 always fit.
    static_assert(sizeof repaired / sizeof(wchar_t) + 3 * 10 + 20 <= STATUS_CAP, "repair line");
    wchar_t line[STATUS_CAP];
    format_into(line, STATUS_CAP, repaired, g_repair.fetched, g_repair.files, http_received() - g_repair.received,
                g_repair.intact);
    say_out(line);
}
