// Unpacking parts: Windows' own tar.exe runs hidden while the worker goes on
// (with the next part's download). Up to one tar per logical processor (at
// most 4) runs at once, each part into a folder of its own; the parts are
// judged and put in place in the list's order, so a failure is reported for
// the earliest failing part. The start of each tar's standard error is kept
// for the failure message. Only the worker reads or writes this state.
#include "install/install.h"

#include <string.h>
#include <wchar.h>

#include "base/base.h"
#include "ui/ui.h"
#include "home/home.h"

namespace {

enum { COMMAND_CAP = 584, EXCERPT = 512, PIPE_CAP = 65536, POLL_MS = 100 };

const wchar_t tar_start_failed[] =
    L"Could not start Windows' tar.exe (Windows error %lu).\nArchive: %ls\nDestination: %ls";

// tar.exe reads its command line in the ANSI code page: a path that code page
// cannot hold would reach it with '?' in place of letters.
int ansi_safe(const wchar_t* text) {
    if (GetACP() == CP_UTF8) return 1;  // every path can be represented
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, 0, 0, 0, &lossy);
    return n > 0 && !lossy;
}

// `target` relative to the folder `base`: both are full paths below the same
// Builder home, whose own names may be anything but whose names below it are
// ASCII. Returns 0 when no relative form fits.
int relative_to(wchar_t* out, size_t cap, const wchar_t* base, const wchar_t* target) {
    size_t common = 0;
    size_t i = 0;
    for (;; ++i) {
        wchar_t b = base[i];
        wchar_t t = target[i];
        if ((b == 0 || b == L'\\') && (t == 0 || t == L'\\')) common = i;
        if (b == 0 || t == 0) break;
        if (CompareStringOrdinal(&b, 1, &t, 1, TRUE) != CSTR_EQUAL) break;
    }
    if (common == 0) return 0;
    size_t length = 0;
    out[0] = 0;
    for (const wchar_t* p = base + common; *p; ++p) {
        if (*p != L'\\') continue;
        if (length + 3 >= cap) return 0;
        memcpy(out + length, L"..\\", 3 * sizeof(wchar_t));
        length += 3;
    }
    const wchar_t* rest = target[common] == L'\\' ? target + common + 1 : target + common;
    size_t rest_length = wcslen(rest);
    if (length + rest_length + 1 > cap) return 0;
    memcpy(out + length, rest, (rest_length + 1) * sizeof(wchar_t));
    if (out[0] == 0) memcpy(out, L".", 2 * sizeof(wchar_t));
    return 1;
}

enum { SLOTS_CAP = SPREAD_MAX };  // a tar per logical processor at most

// A tar that was started and is not yet waited for.
struct tar_run {
    const setup_list* list;
    unsigned index;
    HANDLE process;  // 0: the slot is free
    HANDLE err;      // the read end of its standard error; 0 when not captured
    DWORD pipe_error;
    char excerpt[EXCERPT];
    size_t excerpt_length;
    wchar_t archive[PATH_CAP];
    wchar_t destination[PATH_CAP];  // where the part goes, as messages name it
    wchar_t folder[PATH_CAP];       // where its tar unpacks
    int changes;  // the archive holds a part's changes: a failure is not the run's
};
tar_run g_runs[SLOTS_CAP];
DWORD g_polled;

// The parts whose tar succeeded and that wait for the parts before them to
// be put in place (bit = index), with the list and staging folder they go to.
static_assert(LIST_MAX_PARTS <= 32, "a part's bit must fit in g_unplaced");
unsigned g_unplaced;
const setup_list* g_list;
wchar_t g_staging[PATH_CAP];

// Parts from this index on are no longer judged: an earlier part's failure is
// being reported.
unsigned g_bound = ~0u;

// The changes of a part that their tar has unpacked, until the worker takes
// them: 1 + the part's index, and 1 when the tar succeeded, -1 when it failed.
unsigned g_changes_part;
int g_changes_unpacked;

// Every handle here is closed this one way, which also marks it closed.
void close_handle(HANDLE* handle) {
    if (*handle && *handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
    *handle = 0;
}

// A job that ends tar when the setup ends, however it ends: closing the
// window, a fatal error elsewhere or a kill never leave a tar writing into a
// staging folder that the next run removes. Not inherited, so the Builder
// never holds it. 0 where jobs cannot be had; tar then runs on its own.
HANDLE tar_job(void) {
    static HANDLE job;
    if (job) return job == INVALID_HANDLE_VALUE ? 0 : job;
    job = CreateJobObjectW(0, 0);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!job || !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        close_handle(&job);
        job = INVALID_HANDLE_VALUE;
        return 0;
    }
    return job;
}

// Takes what tar wrote to its standard error: all of it up to its end, or
// (`to_end` 0) only what is there now. Only the first EXCERPT - 1 bytes are
// kept, but all are read, so that a tar that writes much never blocks.
void excerpt_take(tar_run* run, int to_end) {
    char piece[512];
    for (;;) {
        DWORD ready = 0;
        if (!to_end && (!PeekNamedPipe(run->err, 0, 0, 0, &ready, 0) || ready == 0)) return;
        DWORD got = 0;
        if (!ReadFile(run->err, piece, sizeof piece, &got, 0) || got == 0) return;
        size_t room = EXCERPT - 1 - run->excerpt_length;
        size_t take = got < room ? got : room;
        memcpy(run->excerpt + run->excerpt_length, piece, take);
        run->excerpt_length += take;
    }
}

// tar's standard handles: NUL for input and output, a pipe for its errors.
// Returns 0 when the pipe could not be made (tar then runs with the
// inherited handles and pipe_error says why).
int tar_handles(tar_run* run, STARTUPINFOW* startup, HANDLE* write_end, HANDLE* null_device) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, 0, TRUE};
    if (!CreatePipe(&run->err, write_end, &inherit, PIPE_CAP) ||
        !SetHandleInformation(run->err, HANDLE_FLAG_INHERIT, 0) ||
        (*null_device = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                    0)) == INVALID_HANDLE_VALUE) {
        run->pipe_error = GetLastError();
        close_handle(&run->err);
        close_handle(write_end);
        close_handle(null_device);
        return 0;
    }
    startup->dwFlags |= STARTF_USESTDHANDLES;
    startup->hStdInput = *null_device;
    startup->hStdOutput = *null_device;
    startup->hStdError = *write_end;
    return 1;
}

MAY_END_RUN void tar_report_start(const tar_run* run, DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND)
        fail(L"Windows' tar.exe was not found (Windows error 2).\nOpen Command Prompt as administrator "
             L"and run:\nDISM /Online /Cleanup-Image /RestoreHealth\nAfter DISM succeeds, run:\nsfc "
             L"/scannow\nThen restart Windows and run setup again.\nArchive: %ls\nDestination: %ls",
             run->archive, run->destination);
    fail(tar_start_failed, error, run->archive, run->destination);
}

const wchar_t no_stderr[] = L"Could not capture stderr (Windows error %lu).";
const wchar_t tar_exited[] =
    L"Unpacking part %d of %d failed: Windows' tar.exe exited with code %lu.\nArchive: %ls\nDestination: "
    L"%ls\n%ls:\n";
const wchar_t no_excerpt[] = L"Stderr unavailable";
const wchar_t excerpt_heading[] = L"Tar stderr excerpt (up to 511 bytes captured)";
// Each text fits its buffer: the numbers at most 11 characters each, the two
// paths at most 259.
static_assert(sizeof no_stderr / sizeof(wchar_t) + 11 <= EXCERPT, "stderr text");
static_assert((sizeof tar_exited + sizeof excerpt_heading) / sizeof(wchar_t) + 3 * 11 + 2 * (PATH_CAP - 1) <=
                  MESSAGE_CAP,
              "tar message head");

MAY_END_RUN void tar_report_exit(const tar_run* run, DWORD exit_code) {
    int n = (int)run->index + 1;
    int count = (int)run->list->part_count;
    wchar_t text[EXCERPT] = {};
    if (run->pipe_error) {
        format_into(text, EXCERPT, no_stderr, run->pipe_error);
    } else if (run->excerpt_length) {
        // At most EXCERPT - 1 bytes, each one UTF-16 unit at most: it fits.
        int made = MultiByteToWideChar(CP_UTF8, 0, run->excerpt, (int)run->excerpt_length, text, EXCERPT - 1);
        text[made > 0 ? made : 0] = 0;
    }
    wchar_t head[MESSAGE_CAP] = {};
    format_into(head, MESSAGE_CAP, tar_exited, n, count, exit_code, run->archive, run->destination,
                run->pipe_error ? no_excerpt : excerpt_heading);
    head[MESSAGE_CAP - 1] = 0;
    int room = (int)(MESSAGE_CAP - 1 - wcslen(head));
    fail(L"%ls%.*ls", head, room, text);
}

}  // namespace

int tar_command_line(wchar_t* out, size_t cap, const wchar_t* system_folder, const wchar_t* archive,
                     const wchar_t* destination) {
    const wchar_t* archive_arg = archive;
    const wchar_t* destination_arg = destination;
    wchar_t relative[PATH_CAP];
    if (!ansi_safe(archive) || !ansi_safe(destination)) {
        // tar runs in the destination (CreateProcessW receives it in full
        // Unicode), so both can be given relative to it.
        if (!relative_to(relative, PATH_CAP, destination, archive)) return 0;
        archive_arg = relative;
        destination_arg = L".";
    }
    return format_into(out, cap, L"\"%ls\\tar.exe\" -xf \"%ls\" -C \"%ls\"", system_folder,
                       archive_arg, destination_arg) >= 0;
}

namespace {

// The busy slot of the lowest part index (the list's order), or 0.
tar_run* first_busy(void) {
    tar_run* first = 0;
    for (unsigned s = 0; s < SLOTS_CAP; ++s)
        if (g_runs[s].process && (!first || g_runs[s].index < first->index)) first = &g_runs[s];
    return first;
}

unsigned busy_count(void) {
    unsigned count = 0;
    for (unsigned s = 0; s < SLOTS_CAP; ++s) count += g_runs[s].process != 0;
    return count;
}

// The command line that runs the system folder's tar on the slot's archive.
MAY_END_RUN void tar_command(const tar_run* run, int n, int count, wchar_t command[COMMAND_CAP]) {
    wchar_t system_folder[PATH_CAP];
    UINT system_length = GetSystemDirectoryW(system_folder, PATH_CAP);
    if (system_length == 0 || system_length >= PATH_CAP) {
        // Without the system folder there is no tar to trust: a bare
        // "\tar.exe" would run whatever lies at the current drive's root.
        DWORD error = system_length ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
        fail(tar_start_failed, error ? error : ERROR_PATH_NOT_FOUND, run->archive, run->destination);
    }
    if (!tar_command_line(command, COMMAND_CAP, system_folder, run->archive, run->folder))
        fail(L"Unpacking part %d of %d failed: its paths are too long for Windows' tar.exe.\nArchive: "
             L"%ls\nDestination: %ls",
             n, count, run->archive, run->destination);
}

// Starts tar on `archive` in a free slot, into the part's own folder;
// `changes`: it holds a part's changes.
MAY_END_RUN void tar_start(tar_run* run, const setup_list* list, unsigned index, const wchar_t* staging,
                           const wchar_t* archive, int changes) {
    int n = (int)index + 1;
    int count = (int)list->part_count;
    status(L"Unpacking part %d of %d...", n, count);
    run->list = list;
    run->index = index;
    run->changes = changes;
    run->pipe_error = 0;
    run->excerpt_length = 0;
    work_path(run->archive, L"%ls", archive);
    part_destination(staging, &list->parts[index], run->destination);
    part_own_folder(staging, list, index, run->folder);
    make_folders(run->folder);
    wchar_t command[COMMAND_CAP];
    tar_command(run, n, count, command);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    HANDLE write_end = 0;
    HANDLE null_device = 0;
    int piped = tar_handles(run, &startup, &write_end, &null_device);
    PROCESS_INFORMATION process;
    // Without a console of its own (its handles are given above), so that
    // no console host is started beside every tar; in the job before it runs.
    int started = start_with_retries(command, piped, DETACHED_PROCESS, run->folder, &startup, &process,
                                     tar_job());
    DWORD error = started ? 0 : GetLastError();
    close_handle(&write_end);
    close_handle(&null_device);
    if (!started) {
        close_handle(&run->err);
        tar_report_start(run, error);
    }
    close_handle(&process.hThread);
    run->process = process.hProcess;
}

// Puts in place, in the list's order, every unpacked part that no running
// tar of an earlier part holds back (nor an earlier failure being reported).
MAY_END_RUN void places_due(void) {
    tar_run* first = first_busy();
    unsigned before = first ? first->index : ~0u;
    if (g_bound < before) before = g_bound;
    for (unsigned index = 0; index < before && index < LIST_MAX_PARTS; ++index) {
        if (!(g_unplaced & (1u << index))) continue;
        g_unplaced &= ~(1u << index);
        part_place(g_list, index, g_staging);
        test_point("part-unpacked");
    }
}

// Waits for the tar in `run` to end and frees its slot. Its failure is
// reported as its part's, unless an earlier part's is being reported; a
// whole part that unpacked waits to be put in place.
MAY_END_RUN void tar_end(tar_run* run) {
    // Taken first: a failure reported below ends up in fail(), which comes
    // back here for the other slots.
    HANDLE process = run->process;
    run->process = 0;
    if (run->err) excerpt_take(run, 1);
    close_handle(&run->err);
    WaitForSingleObject(process, INFINITE);
    DWORD exit_code = 0;
    DWORD status_error = GetExitCodeProcess(process, &exit_code) ? 0 : GetLastError();
    close_handle(&process);
    if (run->index >= g_bound) return;
    if (run->changes) {
        // Judged by the worker, which fetches the whole part where they failed.
        g_changes_part = run->index + 1;
        g_changes_unpacked = status_error || exit_code ? -1 : 1;
        test_point("part-unpacked");
        return;
    }
    if (status_error || exit_code) unpack_failing(run->index);
    if (status_error)
        fail(L"Could not read Windows' tar.exe exit status (Windows error %lu).\nArchive: "
             L"%ls\nDestination: %ls",
             status_error, run->archive, run->destination);
    if (exit_code != 0) tar_report_exit(run, exit_code);
    g_unplaced |= 1u << run->index;
}

// Ends every tar that has exited, in the list's order, and puts in place
// what is due.
MAY_END_RUN void ended_take(void) {
    for (;;) {
        tar_run* ended = 0;
        for (unsigned s = 0; s < SLOTS_CAP; ++s) {
            tar_run* run = &g_runs[s];
            if (run->process && WaitForSingleObject(run->process, 0) == WAIT_OBJECT_0 &&
                (!ended || run->index < ended->index))
                ended = run;
        }
        if (!ended) break;
        tar_end(ended);
    }
    places_due();
}

// A free slot, once a tar has ended if all are taken. Meanwhile every
// tar's standard error is read, so that none blocks on a full pipe.
MAY_END_RUN tar_run* slot_free(void) {
    static unsigned slots;
    if (!slots) slots = spread_width();  // one tar per logical processor, 1 to 4
    for (;;) {
        if (busy_count() >= slots) ended_take();
        if (busy_count() < slots) break;
        HANDLE running[SLOTS_CAP];
        DWORD count = 0;
        for (unsigned s = 0; s < SLOTS_CAP; ++s) {
            if (!g_runs[s].process) continue;
            if (g_runs[s].err) excerpt_take(&g_runs[s], 0);
            running[count++] = g_runs[s].process;
        }
        WaitForMultipleObjects(count, running, FALSE, POLL_MS);
    }
    for (unsigned s = 0;; ++s)
        if (!g_runs[s].process) return &g_runs[s];
}

}  // namespace

void unpack_failing(unsigned index) {
    if (index < g_bound) g_bound = index;
}

void unpack_start(const setup_list* list, unsigned index, const wchar_t* staging,
                  const wchar_t* archive) {
    tar_run* run = slot_free();
    g_list = list;
    work_path(g_staging, L"%ls", staging);
    tar_start(run, list, index, staging, archive, 0);
    // Deterministic: a tar that ended is only taken when its slot is needed.
    if (busy_count() > 1) test_point("tars-running");
}

void unpack_changes_start(const setup_list* list, unsigned index, const wchar_t* staging,
                          const wchar_t* archive) {
    tar_start(slot_free(), list, index, staging, archive, 1);
}

int unpack_finish(void) {
    int waited = 0;
    for (tar_run* run; (run = first_busy()) != 0;) {
        waited = 1;
        tar_end(run);
        places_due();
    }
    places_due();
    return waited;
}

int unpack_changes_taken(unsigned* index) {
    int unpacked = g_changes_unpacked;
    *index = g_changes_part - 1;
    g_changes_part = 0;
    g_changes_unpacked = 0;
    return unpacked;
}

void unpack_poll(void) {
    DWORD now = GetTickCount();
    if (now - g_polled < POLL_MS) return;
    g_polled = now;
    // In the list's order: the earliest failure is the one reported. Changes
    // that fail to unpack are no failure of the run: they wait.
    for (tar_run* run = first_busy(); run;) {
        tar_run* next = 0;
        for (unsigned s = 0; s < SLOTS_CAP; ++s)
            if (g_runs[s].process && g_runs[s].index > run->index && (!next || g_runs[s].index < next->index))
                next = &g_runs[s];
        if (run->err) excerpt_take(run, 0);
        DWORD exit_code = 0;
        if (!run->changes && WaitForSingleObject(run->process, 0) == WAIT_OBJECT_0 &&
            GetExitCodeProcess(run->process, &exit_code) && exit_code != 0)
            tar_end(run);
        run = next;
    }
}
