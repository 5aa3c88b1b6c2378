// Choosing the Builder home: an explicit home from the environment, a marked
// portable home in or above the setup's folder or beside it, the game folder's
// pointer file for a launcher, a new portable home with --portable, or the
// per-user default; then its export to the environment for every child.
#include "home/home.h"

#include <string.h>
#include <wchar.h>

#include "base/system_dll.h"
#include "core/core.h"

qb_home g_home;
int g_home_ok;

namespace {

const wchar_t home_folder_name[] = L"StonewakeBuilder";

// A game version file line "builder_local=1" forbids any Builder home. The
// file is scanned by its length: a NUL byte in it ends neither the text nor
// the search.
int builder_local(const char* text, DWORD count) {
    static const char key[] = "builder_local=1";
    for (DWORD line = 0; line < count;) {
        if (count - line >= 15 && memcmp(text + line, key, 15) == 0) {
            char next = line + 15 < count ? text[line + 15] : 0;
            if (next == 0 || next == '\r' || next == '\n') return 1;
        }
        const char* end = (const char*)memchr(text + line, '\n', count - line);
        if (!end) break;
        line = (DWORD)(end - text) + 1;
    }
    return 0;
}

// The pointer's relative path must name the folder it spells: every component
// other than "." and ".." is one that Windows keeps as it is (no trailing dot
// or blank, no device name).
int pointer_components_ok(const char* bytes, DWORD count) {
    DWORD start = 0;
    for (DWORD i = 0; i <= count; ++i) {
        if (i < count && bytes[i] != '/' && bytes[i] != '\\') continue;
        size_t length = i - start;
        const char* component = bytes + start;
        int dots = (length == 1 && component[0] == '.') ||
                   (length == 2 && component[0] == '.' && component[1] == '.');
        if (length && !dots && !name_component_ok(component, length)) return 0;
        start = i + 1;
    }
    return 1;
}

// Reads a small file of the game folder: qb_home_bytes' answer, or -1 when
// its path does not fit.
int game_file(const wchar_t* folder, const wchar_t* name, char* bytes, DWORD capacity,
              DWORD* count) {
    wchar_t path[PATH_CAP];
    if (!qb_home_join(path, PATH_CAP, folder, name)) return -1;
    return qb_home_bytes(path, bytes, capacity, count);
}

// The launcher's pointer file: a relative path to a marked portable home.
// Returns 1 with the home in `home`, 0 when the launcher has no home, or 2
// when there is no pointer file.
int pointer_home(qb_home* home, const wchar_t* game_folder) {
    char bytes[784];
    DWORD count = 0;
    int read = game_file(game_folder, L".tarnwick_builder_home", bytes, 783, &count);
    if (read < 0) return 0;
    if (read == 0) return 2;
    if (count == 0 || count > 780) return 0;
    while (count > 0 && (bytes[count - 1] == '\r' || bytes[count - 1] == '\n')) --count;
    if (count == 0 || !pointer_components_ok(bytes, count)) return 0;
    wchar_t text[PATH_CAP];
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes, (int)count, text, PATH_CAP);
    if (n <= 0 || n >= PATH_CAP) return 0;
    text[n] = 0;
    if (text[0] == L'/' || text[0] == L'\\') return 0;
    for (int i = 0; i < n; ++i)
        if (text[i] == L':' || text[i] == L'\r' || text[i] == L'\n' || text[i] == 0) return 0;
    wchar_t joined[521];
    if (!qb_home_join(joined, 521, game_folder, text)) return 0;
    wchar_t full[PATH_CAP];
    if (!qb_home_full(full, joined) || qb_home_marked(full) != 1) return 0;
    memcpy(home->path, full, sizeof full);
    home->portable = 1;
    return 1;
}

int take(qb_home* home, const wchar_t* path, int portable) {
    size_t n = wcslen(path);
    memcpy(home->path, path, (n + 1) * sizeof(wchar_t));
    home->portable = portable;
    return 1;
}

}  // namespace

int qb_home_discover(qb_home* home, const wchar_t* explicit_home, const wchar_t* setup_path,
                     const wchar_t* default_home, int named_launcher) {
    memset(home, 0, sizeof *home);
    wchar_t folder[PATH_CAP];
    if (explicit_home && explicit_home[0]) {
        if (!qb_home_full(folder, explicit_home)) return 0;
        int marked = qb_home_marked(folder);
        if (marked < 0) return 0;
        return take(home, folder, marked);
    }
    if (!qb_home_full(folder, setup_path) || !qb_home_parent(folder)) return 0;
    wchar_t setup_folder[PATH_CAP];
    memcpy(setup_folder, folder, sizeof folder);

    if (named_launcher) {
        if (wcslen(folder) > 236) return 0;
        int pointer = pointer_home(home, folder);
        if (pointer == 1) return 1;
        if (pointer == 0) return 0;
        if (wcslen(folder) > 238) return 0;
        char text[2048];
        DWORD count = 0;
        int read = game_file(folder, L"tarnwick_version.txt", text, 2047, &count);
        if (read < 0) return 0;
        if (read > 0) {
            if (builder_local(text, count)) return 0;
        }
    }

    for (int level = 0; level < 4; ++level) {
        int marked = qb_home_marked(folder);
        if (marked < 0) return 0;
        if (marked == 1) return take(home, folder, 1);
        if (!qb_home_parent(folder)) break;
    }

    // The sibling can only hold a marker when its path has at most 240
    // characters; a longer one is no home, not a damaged one.
    if (!named_launcher && wcslen(setup_folder) <= 223) {
        wchar_t sibling[PATH_CAP];
        if (qb_home_join(sibling, PATH_CAP, setup_folder, home_folder_name)) {
            int marked = qb_home_marked(sibling);
            if (marked < 0) return 0;
            if (marked == 1) return take(home, sibling, 1);
        }
    }

    if (!qb_home_full(folder, default_home)) return 0;
    return take(home, folder, 0);
}

namespace {

int export_home() {
    wchar_t flag[3];
    DWORD n = GetEnvironmentVariableW(L"TARNWICK_BUILDER_PORTABLE", flag, 3);
    if (n == 1 && flag[0] == L'1' && !g_home.portable) return 0;
    if (!SetEnvironmentVariableW(L"TARNWICK_SETUP_BASE", g_home.path)) return 0;
    if (g_home.portable) return SetEnvironmentVariableW(L"TARNWICK_BUILDER_PORTABLE", L"1") != 0;
    if (SetEnvironmentVariableW(L"TARNWICK_BUILDER_PORTABLE", 0)) return 1;
    return GetLastError() == ERROR_ENVVAR_NOT_FOUND;
}

int portable_setup(const wchar_t* exe, const wchar_t* explicit_home, int named_launcher) {
    if (explicit_home[0]) {
        if (!qb_home_full(g_home.path, explicit_home)) return 0;
    } else {
        wchar_t setup_folder[PATH_CAP];
        if (!qb_home_full(setup_folder, exe) || !qb_home_parent(setup_folder)) return 0;
        qb_home found;
        if (!qb_home_discover(&found, 0, exe, setup_folder, named_launcher)) return 0;
        if (found.portable) memcpy(g_home.path, found.path, sizeof found.path);
        else if (!qb_home_join(g_home.path, PATH_CAP, setup_folder, home_folder_name)) return 0;
    }
    if (qb_home_is_root(g_home.path)) return 0;
    make_folders(g_home.path);
    if (qb_home_is_root(g_home.path)) return 0;
    int marked = qb_home_marked(g_home.path);
    if (marked < 0) return 0;
    if (marked == 0 && !qb_home_make_marker(g_home.path)) return 0;
    g_home.portable = 1;
    return 1;
}

}  // namespace

int launcher_named(const wchar_t* module_path) {
    const wchar_t* name = wcsrchr(module_path, L'\\');
    name = name ? name + 1 : module_path;
    return CompareStringOrdinal(name, -1, L"stonewake.exe", -1, TRUE) == CSTR_EQUAL;
}

int qb_home_select(int portable_mode) {
    g_home_ok = 0;
    wchar_t exe[PATH_CAP];
    DWORD n = GetModuleFileNameW(0, exe, PATH_CAP);
    if (n == 0 || n >= PATH_CAP) return 0;
    wchar_t explicit_home[PATH_CAP];
    n = GetEnvironmentVariableW(L"TARNWICK_SETUP_BASE", explicit_home, PATH_CAP);
    if (n >= PATH_CAP) return 0;
    if (n == 0) explicit_home[0] = 0;
    int named = launcher_named(exe);

    if (portable_mode) {
        if (!portable_setup(exe, explicit_home, named)) return 0;
    } else {
        wchar_t default_home[PATH_CAP];
        default_home[0] = 0;
        wchar_t local[MAX_PATH];
        // A named home needs no per-user folder: the shell is not loaded for it.
        if (!explicit_home[0] && SUCCEEDED(shell32()->SHGetFolderPathW(0, CSIDL_LOCAL_APPDATA, 0, 0, local)) &&
            wcslen(local) <= 242)
            qb_home_join(default_home, PATH_CAP, local, home_folder_name);
        if (!qb_home_discover(&g_home, explicit_home, exe, default_home, named)) return 0;
    }
    g_home_ok = export_home();
    return g_home_ok;
}
