// The record files of the Builder home: current.txt and previous.txt in the
// versions folder, installed.txt and parts.txt in a version folder. Writing or
// reading a record never ends the run; the next run repairs what is missing.
// A record is replaced whole: written under a name of the same length beside
// it, flushed, and renamed over the old file, so a reader (or a run after a
// power cut) finds the old record or the new one, never an empty or cut one.
#include "store/store.h"

#include <string.h>
#include <wchar.h>

#include "base/base.h"
#include "home/home.h"

void record_write(const wchar_t* path, const char* bytes, DWORD count) {
    // "current.txt" -> "current.new": never longer than the record itself, so
    // every record that fits has a temporary name that fits too.
    size_t length = wcslen(path);
    if (length < 4 || length >= PATH_CAP || wcscmp(path + length - 4, L".txt") != 0) return;
    wchar_t temporary[PATH_CAP];
    memcpy(temporary, path, (length + 1) * sizeof(wchar_t));
    memcpy(temporary + length - 4, L".new", 4 * sizeof(wchar_t));
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    BOOL whole = (count == 0 || WriteFile(file, bytes, count, &written, 0)) && written == count;
    whole = whole && FlushFileBuffers(file);
    CloseHandle(file);
    test_point("record-written");
    // A reader that has the record open for a moment holds the rename off.
    if (whole && move_with_retries(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return;
    DeleteFileW(temporary);
}

int first_line_read(const wchar_t* path, char text[LIST_TAG_CAP]) {
    DWORD got = 0;
    int read = qb_home_bytes(path, text, LIST_TAG_CAP - 1, &got) == 1;
    text[read ? got : 0] = 0;
    text[strcspn(text, "\r\n")] = 0;
    return read;
}

int current_tag_read(const wchar_t* versions, char tag[LIST_TAG_CAP]) {
    wchar_t current_txt[PATH_CAP];
    tag[0] = 0;
    if (home_path(current_txt, L"%ls\\current.txt", versions) < 0 || !first_line_read(current_txt, tag))
        return 0;
    // A hand-edited current.txt must never lead outside the versions folder.
    if (tag[0] && tag[0] != '.' && list_name_ok(tag, 0)) return 1;
    tag[0] = 0;
    return 0;
}

void write_parts(const wchar_t* version, const part_record* parts, unsigned count) {
    wchar_t path[PATH_CAP];
    if (home_path(path, L"%ls\\parts.txt", version) < 0) return;
    char lines[LIST_MAX_PARTS * 65 + 1];
    size_t n = 0;
    for (unsigned i = 0; i < count && i < LIST_MAX_PARTS; ++i) {
        wchar_t folder[PATH_CAP];
        if (!part_folder(&parts[i], folder)) continue;
        n = text_append(lines, sizeof lines, n, parts[i].sha256);
        n = text_append(lines, sizeof lines, n, "\n");
    }
    record_write(path, lines, (DWORD)n);
}

unsigned long long serial_read(const wchar_t* versions) {
    wchar_t serial_txt[PATH_CAP];
    char text[LIST_TAG_CAP];
    if (home_path(serial_txt, L"%ls\\serial.txt", versions) < 0 || !first_line_read(serial_txt, text))
        return 0;
    // Only digits, within 64 bits; anything else is unreadable (no serial).
    unsigned long long value;
    size_t digits;
    if (!decimal_read(text, sizeof text, ~0ULL, &value, &digits) || text[digits]) return 0;
    return value;
}

MAY_END_RUN static void serial_write(const wchar_t* versions, unsigned long long serial) {
    if (serial == 0) return;
    char digits[21];
    size_t n = decimal_text(serial, digits);
    wchar_t serial_txt[PATH_CAP];
    if (home_path(serial_txt, L"%ls\\serial.txt", versions) >= 0) record_write(serial_txt, digits, (DWORD)n);
}

void records_step(const install_paths* paths, const setup_list* list, unsigned long long serial) {
    serial_write(paths->versions, serial);
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
    test_point("previous-written");
    record_write(current_txt, list->tag, (DWORD)strlen(list->tag));
}
