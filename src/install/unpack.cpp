// Unpacking a part: Windows' own tar.exe runs hidden into the destination
// inside the staging folder; the start of its standard error is kept for the
// failure message; then the archive's top entry gets its final name.
#include "setup.h"

#include <string.h>
#include <wchar.h>

namespace {

enum { COMMAND_CAP = 584, EXCERPT = 512 };

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

void part_unpack(const setup_list* list, unsigned index, const wchar_t* staging,
                 const wchar_t* archive) {
    const part_record* part = &list->parts[index];
    int n = (int)index + 1;
    int count = (int)list->part_count;
    status(L"Unpacking part %d of %d...", n, count);

    wchar_t destination[PATH_CAP];
    char dir[LIST_NAME_CAP];
    if (!layout_relative(dir, part->dir)) work_path(destination, L"%ls", staging);
    else work_path(destination, L"%ls\\%hs", staging, dir);
    make_folders(destination);

    wchar_t system_folder[PATH_CAP];
    UINT system_length = GetSystemDirectoryW(system_folder, PATH_CAP);
    if (system_length == 0 || system_length >= PATH_CAP) {
        // Without the system folder there is no tar to trust: a bare
        // "\tar.exe" would run whatever lies at the current drive's root.
        DWORD error = system_length ? ERROR_INSUFFICIENT_BUFFER : GetLastError();
        fail(tar_start_failed, error ? error : ERROR_PATH_NOT_FOUND, archive, destination);
    }
    wchar_t command[COMMAND_CAP];
    if (!tar_command_line(command, COMMAND_CAP, system_folder, archive, destination))
        fail(L"Unpacking part %d of %d failed: its paths are too long for Windows' tar.exe.\nArchive: "
             L"%ls\nDestination: %ls",
             n, count, archive, destination);

    DWORD exit_code = 0;
    DWORD create_error = 0;
    DWORD status_error = 0;
    DWORD pipe_error = 0;
    char excerpt[EXCERPT] = {};
    size_t excerpt_length = 0;

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, 0, TRUE};
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    HANDLE read_end = 0;
    HANDLE write_end = 0;
    HANDLE null_device = INVALID_HANDLE_VALUE;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
        pipe_error = GetLastError();
        read_end = write_end = 0;
    } else if (!SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0)) {
        pipe_error = GetLastError();
        CloseHandle(read_end);
        CloseHandle(write_end);
        read_end = write_end = 0;
    } else {
        null_device = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  &inherit, OPEN_EXISTING, 0, 0);
        if (null_device == INVALID_HANDLE_VALUE) {
            pipe_error = GetLastError();
            CloseHandle(read_end);
            CloseHandle(write_end);
            read_end = write_end = 0;
        } else {
            startup.dwFlags |= STARTF_USESTDHANDLES;
            startup.hStdInput = null_device;
            startup.hStdOutput = null_device;
            startup.hStdError = write_end;
        }
    }

    PROCESS_INFORMATION process;
    if (!start_with_retries(command, write_end != 0, CREATE_NO_WINDOW, destination, &startup, &process)) {
        create_error = GetLastError();
        if (read_end) CloseHandle(read_end);
        if (write_end) CloseHandle(write_end);
        if (null_device != INVALID_HANDLE_VALUE) CloseHandle(null_device);
    } else {
        if (write_end) CloseHandle(write_end);
        if (null_device != INVALID_HANDLE_VALUE) CloseHandle(null_device);
        if (read_end) {
            // Read to the end, also after the excerpt is full, so that a tar
            // that writes much never blocks on a full pipe.
            char piece[512];
            DWORD got = 0;
            while (ReadFile(read_end, piece, sizeof piece, &got, 0) && got > 0) {
                size_t room = EXCERPT - 1 - excerpt_length;
                size_t take = got < room ? got : room;
                memcpy(excerpt + excerpt_length, piece, take);
                excerpt_length += take;
            }
            CloseHandle(read_end);
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        if (!GetExitCodeProcess(process.hProcess, &exit_code)) status_error = GetLastError();
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    if (create_error == ERROR_FILE_NOT_FOUND)
        fail(L"Windows' tar.exe was not found (Windows error 2).\nOpen Command Prompt as administrator "
             L"and run:\nDISM /Online /Cleanup-Image /RestoreHealth\nAfter DISM succeeds, run:\nsfc "
             L"/scannow\nThen restart Windows and run setup again.\nArchive: %ls\nDestination: %ls",
             archive, destination);
    if (create_error)
        fail(tar_start_failed, create_error, archive, destination);
    if (status_error)
        fail(L"Could not read Windows' tar.exe exit status (Windows error %lu).\nArchive: "
             L"%ls\nDestination: %ls",
             status_error, archive, destination);
    if (exit_code != 0) {
        wchar_t text[EXCERPT] = {};
        if (pipe_error)
            format_into(text, EXCERPT, L"Could not capture stderr (Windows error %lu).", pipe_error);
        else if (excerpt_length)
            MultiByteToWideChar(CP_UTF8, 0, excerpt, (int)excerpt_length, text, EXCERPT - 1);
        wchar_t head[MESSAGE_CAP] = {};
        format_into(head, MESSAGE_CAP,
                    L"Unpacking part %d of %d failed: Windows' tar.exe exited with code %lu.\nArchive: "
                    L"%ls\nDestination: %ls\n%ls:\n",
                    n, count, exit_code, archive, destination,
                    pipe_error ? L"Stderr unavailable" : L"Tar stderr excerpt (up to 511 bytes captured)");
        head[MESSAGE_CAP - 1] = 0;
        int room = (int)(MESSAGE_CAP - 1 - wcslen(head));
        fail(L"%ls%.*ls", head, room, text);
    }

    if (strcmp(part->from, "-") == 0 || strcmp(part->to, "-") == 0) return;
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
