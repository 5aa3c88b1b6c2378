// The record files of the Builder home: current.txt and previous.txt in the
// versions folder, installed.txt and parts.txt in a version folder. Writing or
// reading a record never ends the run; the next run repairs what is missing.
#include "setup.h"

#include <string.h>

void record_write(const wchar_t* path, const char* bytes, DWORD count) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written;
    WriteFile(file, bytes, count, &written, 0);
    CloseHandle(file);
}

int first_line_read(const wchar_t* path, char text[LIST_TAG_CAP]) {
    text[0] = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return 0;
    DWORD got = 0;
    ReadFile(file, text, LIST_TAG_CAP - 1, &got, 0);
    CloseHandle(file);
    text[got] = 0;
    text[strcspn(text, "\r\n")] = 0;
    return 1;
}

void write_parts(const wchar_t* version, const part_record* parts, unsigned count) {
    wchar_t path[PATH_CAP];
    if (home_path(path, L"%ls\\parts.txt", version) < 0) return;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    for (unsigned i = 0; i < count; ++i) {
        wchar_t folder[PATH_CAP];
        if (!part_folder(&parts[i], folder)) continue;
        char line[128];
        size_t n = text_append(line, sizeof line, 0, parts[i].sha256);
        n = text_append(line, sizeof line, n, "\n");
        DWORD written;
        WriteFile(file, line, (DWORD)n, &written, 0);
    }
    CloseHandle(file);
}

void records_step(const install_paths* paths, const setup_list* list) {
    wchar_t parts_txt[PATH_CAP];
    work_path(parts_txt, L"%ls\\parts.txt", paths->version);
    if (GetFileAttributesW(parts_txt) == INVALID_FILE_ATTRIBUTES)
        write_parts(paths->version, list->parts, list->part_count);
    wchar_t current_txt[PATH_CAP];
    wchar_t previous_txt[PATH_CAP];
    work_path(current_txt, L"%ls\\current.txt", paths->versions);
    work_path(previous_txt, L"%ls\\previous.txt", paths->versions);
    char old_tag[LIST_TAG_CAP];
    first_line_read(current_txt, old_tag);
    if (strcmp(old_tag, list->tag) == 0) return;
    if (old_tag[0]) record_write(previous_txt, old_tag, (DWORD)strlen(old_tag));
    record_write(current_txt, list->tag, (DWORD)strlen(list->tag));
}
