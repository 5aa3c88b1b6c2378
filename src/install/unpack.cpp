// Unpacking a part: Windows' own tar.exe runs hidden into the destination
// inside the staging folder while the worker goes on (with the next part's
// download); the start of its standard error is kept for the failure message;
// once it has ended, the archive's top entry gets its final name. One tar at
// a time, always the worker's.
#include "setup.h"

#include <string.h>
#include <wchar.h>

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

// The tar that is running, if any: only the worker reads or writes it.
struct tar_run {
    const setup_list* list;
    unsigned index;
    HANDLE process;  // 0 when no tar runs
    HANDLE err;      // the read end of its standard error; 0 when not captured
    DWORD pipe_error;
    char excerpt[EXCERPT];
    size_t excerpt_length;
    DWORD polled;
    wchar_t archive[PATH_CAP];
    wchar_t destination[PATH_CAP];
    int changes;  // the archive holds a part's changes: a failure is not the run's
};
tar_run g_run;

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
void excerpt_take(int to_end) {
    char piece[512];
    for (;;) {
        DWORD ready = 0;
        if (!to_end && (!PeekNamedPipe(g_run.err, 0, 0, 0, &ready, 0) || ready == 0)) return;
        DWORD got = 0;
        if (!ReadFile(g_run.err, piece, sizeof piece, &got, 0) || got == 0) return;
        size_t room = EXCERPT - 1 - g_run.excerpt_length;
        size_t take = got < room ? got : room;
        memcpy(g_run.excerpt + g_run.excerpt_length, piece, take);
        g_run.excerpt_length += take;
    }
}

// tar's standard handles: NUL for input and output, a pipe for its errors.
// Returns 0 when the pipe could not be made (tar then runs with the
// inherited handles and pipe_error says why).
int tar_handles(STARTUPINFOW* startup, HANDLE* write_end, HANDLE* null_device) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, 0, TRUE};
    if (!CreatePipe(&g_run.err, write_end, &inherit, PIPE_CAP) ||
        !SetHandleInformation(g_run.err, HANDLE_FLAG_INHERIT, 0) ||
        (*null_device = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                    0)) == INVALID_HANDLE_VALUE) {
        g_run.pipe_error = GetLastError();
        close_handle(&g_run.err);
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

void tar_report_start(DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND)
        fail(L"Windows' tar.exe was not found (Windows error 2).\nOpen Command Prompt as administrator "
             L"and run:\nDISM /Online /Cleanup-Image /RestoreHealth\nAfter DISM succeeds, run:\nsfc "
             L"/scannow\nThen restart Windows and run setup again.\nArchive: %ls\nDestination: %ls",
             g_run.archive, g_run.destination);
    fail(tar_start_failed, error, g_run.archive, g_run.destination);
}

void tar_report_exit(DWORD exit_code) {
    int n = (int)g_run.index + 1;
    int count = (int)g_run.list->part_count;
    wchar_t text[EXCERPT] = {};
    if (g_run.pipe_error)
        format_into(text, EXCERPT, L"Could not capture stderr (Windows error %lu).", g_run.pipe_error);
    else if (g_run.excerpt_length)
        MultiByteToWideChar(CP_UTF8, 0, g_run.excerpt, (int)g_run.excerpt_length, text, EXCERPT - 1);
    wchar_t head[MESSAGE_CAP] = {};
    format_into(head, MESSAGE_CAP,
                L"Unpacking part %d of %d failed: Windows' tar.exe exited with code %lu.\nArchive: "
                L"%ls\nDestination: %ls\n%ls:\n",
                n, count, exit_code, g_run.archive, g_run.destination,
                g_run.pipe_error ? L"Stderr unavailable" : L"Tar stderr excerpt (up to 511 bytes captured)");
    head[MESSAGE_CAP - 1] = 0;
    int room = (int)(MESSAGE_CAP - 1 - wcslen(head));
    fail(L"%ls%.*ls", head, room, text);
}

}  // namespace

void part_top_rename(const setup_list* list, unsigned index, const wchar_t* destination) {
    const part_record* part = &list->parts[index];
    if (strcmp(part->from, "-") == 0 || strcmp(part->to, "-") == 0) return;
    int n = (int)index + 1;
    int count = (int)list->part_count;
    wchar_t from[PATH_CAP];
    wchar_t to[PATH_CAP];
    MultiByteToWideChar(CP_UTF8, 0, part->from, -1, from, PATH_CAP);
    MultiByteToWideChar(CP_UTF8, 0, part->to, -1, to, PATH_CAP);
    wchar_t source[PATH_CAP];
    wchar_t target[PATH_CAP];
    work_path(source, L"%ls\\%ls", destination, from);
    work_path(target, L"%ls\\%ls", destination, to);
    if (GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES) return;
    if (move_with_retries(source, target, 0)) return;
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        fail(L"Could not set up part %d of %d (renaming %ls, Windows error %lu). Another program is "
             L"holding the files just unpacked, often an antivirus scan: run the setup again, and if "
             L"it happens again allow the folder %ls in it.",
             n, count, from, error, g_home.path);
    fail(L"Could not set up part %d of %d (renaming %ls, Windows error %lu).", n, count, from, error);
}

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

// Starts tar on `archive`; `changes`: it holds a part's changes.
void tar_start(const setup_list* list, unsigned index, const wchar_t* staging, const wchar_t* archive,
               int changes) {
    const part_record* part = &list->parts[index];
    int n = (int)index + 1;
    int count = (int)list->part_count;
    status(L"Unpacking part %d of %d...", n, count);
    g_run.list = list;
    g_run.index = index;
    g_run.changes = changes;
    g_run.pipe_error = 0;
    g_run.excerpt_length = 0;
    work_path(g_run.archive, L"%ls", archive);

    char dir[LIST_NAME_CAP];
    if (!layout_relative(dir, part->dir)) work_path(g_run.destination, L"%ls", staging);
    else work_path(g_run.destination, L"%ls\\%hs", staging, dir);
    make_folders(g_run.destination);

    wchar_t system_folder[PATH_CAP];
    UINT system_length = GetSystemDirectoryW(system_folder, PATH_CAP);
    if (system_length == 0 || system_length >= PATH_CAP) {
        // Without the system folder there is no tar to trust: a bare
        // "\tar.exe" would run whatever lies at the current drive's root.
        DWORD error = system_length ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
        fail(tar_start_failed, error ? error : ERROR_PATH_NOT_FOUND, archive, g_run.destination);
    }
    wchar_t command[COMMAND_CAP];
    if (!tar_command_line(command, COMMAND_CAP, system_folder, archive, g_run.destination))
        fail(L"Unpacking part %d of %d failed: its paths are too long for Windows' tar.exe.\nArchive: "
             L"%ls\nDestination: %ls",
             n, count, archive, g_run.destination);

    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    HANDLE write_end = 0;
    HANDLE null_device = 0;
    int piped = tar_handles(&startup, &write_end, &null_device);
    PROCESS_INFORMATION process;
    // Without a console of its own (its handles are given above), so that
    // no console host is started beside every tar; in the job before it runs.
    int started = start_with_retries(command, piped, DETACHED_PROCESS, g_run.destination, &startup,
                                     &process, tar_job());
    DWORD error = started ? 0 : GetLastError();
    close_handle(&write_end);
    close_handle(&null_device);
    if (!started) {
        close_handle(&g_run.err);
        tar_report_start(error);
    }
    close_handle(&process.hThread);
    g_run.process = process.hProcess;
    g_run.polled = GetTickCount();
}

}  // namespace

void unpack_start(const setup_list* list, unsigned index, const wchar_t* staging,
                  const wchar_t* archive) {
    tar_start(list, index, staging, archive, 0);
}

void unpack_changes_start(const setup_list* list, unsigned index, const wchar_t* staging,
                          const wchar_t* archive) {
    tar_start(list, index, staging, archive, 1);
}

int unpack_finish(void) {
    if (!g_run.process) return 0;
    // Taken first: a failure reported below ends up in fail(), which comes
    // back here.
    HANDLE process = g_run.process;
    g_run.process = 0;
    if (g_run.err) excerpt_take(1);
    close_handle(&g_run.err);
    WaitForSingleObject(process, INFINITE);
    DWORD exit_code = 0;
    DWORD status_error = GetExitCodeProcess(process, &exit_code) ? 0 : GetLastError();
    close_handle(&process);
    if (g_run.changes) {
        // Judged by the worker, which fetches the whole part where they failed.
        g_changes_part = g_run.index + 1;
        g_changes_unpacked = status_error || exit_code ? -1 : 1;
        return 1;
    }
    if (status_error)
        fail(L"Could not read Windows' tar.exe exit status (Windows error %lu).\nArchive: "
             L"%ls\nDestination: %ls",
             status_error, g_run.archive, g_run.destination);
    if (exit_code != 0) tar_report_exit(exit_code);
    part_top_rename(g_run.list, g_run.index, g_run.destination);
    return 1;
}

int unpack_changes_taken(unsigned* index) {
    int unpacked = g_changes_unpacked;
    *index = g_changes_part - 1;
    g_changes_part = 0;
    g_changes_unpacked = 0;
    return unpacked;
}

void unpack_poll(void) {
    if (!g_run.process) return;
    DWORD now = GetTickCount();
    if (now - g_run.polled < POLL_MS) return;
    g_run.polled = now;
    if (g_run.err) excerpt_take(0);
    DWORD exit_code = 0;
    // Changes that fail to unpack are no failure of the run: they wait.
    if (!g_run.changes && WaitForSingleObject(g_run.process, 0) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(g_run.process, &exit_code) && exit_code != 0)
        unpack_finish();
}
