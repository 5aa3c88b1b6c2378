// Shared types, globals and helpers of the setup. Every subsystem includes
// this one header; the byte-level core has its own (release/core.h).
#ifndef STONEWAKE_SETUP_H
#define STONEWAKE_SETUP_H

#include <windows.h>
#include <bcrypt.h>
#include <stdarg.h>

#include "release/core.h"

#define SETUP_HOST_BASE "https://" STONEWAKE_RELEASE_HOST "/"

// The failure contract. MAY_END_RUN stands before every function that may end
// the run through fail(), its own or one it calls: such a call does not
// return then (the worker thread or the whole process ends, the user is told
// why). Every other function returns whatever happens; its failures are
// results for the caller to judge.
#define MAY_END_RUN
// NEVER_ENDS_RUN stands before a function that must not end the run whatever
// happens: what runs after the Builder has started (the sweep, the lock let
// go, the wait for the Builder). tests/harness/failure_contract.py holds such
// functions, and every job handed to spread, to it.
#define NEVER_ENDS_RUN

enum {
    PATH_CAP = 260,     // every path: at most 259 characters and the terminator
    CMDLINE_CAP = 2048,
    STATUS_CAP = 512,
    MESSAGE_CAP = 1024,
    URL_CAP = 1024
};

#define WM_SETUP_STATUS (WM_APP + 1)
#define WM_SETUP_CLOSE (WM_APP + 2)

// The Builder home record.
struct qb_home {
    wchar_t path[PATH_CAP];
    int portable;
};

// ---- globals ---------------------------------------------------------------
// Written by start-up before the worker exists; afterwards only the worker
// changes g_cmdline (the --repair removal) and g_exit.
extern wchar_t g_cmdline[CMDLINE_CAP];
extern unsigned char g_headless;
extern int g_exit;
extern qb_home g_home;
extern int g_home_ok;

extern HWND g_win;  // written once by the main thread; the worker reads it with window_handle
HWND window_handle(void);
// Set once the window is made; the worker waits for it before the Builder
// starts (a start-up that could not make the window ends the process first).
extern HANDLE g_window_made;
void window_made_wait(void);
// Called by start-up once window_create has made the window: catches up with
// what the worker posted before, and sets g_window_made.
void window_ready(void);
extern HWND g_text;
extern HWND g_bar;
extern wchar_t g_status[STATUS_CAP];
extern volatile LONG g_percent;  // -1: marquee; written with InterlockedExchange
extern DWORD g_http_status;
extern unsigned long long g_http_received;  // body bytes the run has received (the worker's)

// ---- waits (release/retry.cpp) ---------------------------------------------
// Every wait of the program goes through here, so a test build can shorten
// them all by one divisor. Callers pass (and messages show) the real time.
void setup_sleep(DWORD ms);
// The retry schedule of a request: RETRY_TRIES tries, g_waits[i] seconds
// before try i + 2; the messages tell it as RETRY_TOLD. Each try ends in one
// of the outcomes below.
#define RETRY_TRIES 8
#define RETRY_TOLD L"tried 8 times over 3 minutes"
extern const DWORD g_waits[RETRY_TRIES - 1];
enum { ATTEMPT_OK, ATTEMPT_RETRY, ATTEMPT_FINAL };
// The schedule's wait before try `retry` + 2, counted from `since` (a
// GetTickCount value): what the worker did since then is part of it.
void retry_wait(int retry, DWORD since);
// After try number `tries` failed with `error`: when another process may be
// holding what it needed for a moment (access denied, a sharing violation, or
// `also` when not 0) and fewer than 80 tries were made, waits 250 ms and
// returns 1; else returns 0 with the last error set to `error`.
int held_retry(int tries, DWORD error, DWORD also);
// Renames (MoveFileExW with `flags`), waiting out another process that holds
// the file or a file inside the folder, often an antivirus scan: up to 80
// tries, 250 ms apart, on ERROR_ACCESS_DENIED or ERROR_SHARING_VIOLATION.
// Returns 0 with the last error set.
int move_with_retries(const wchar_t* from, const wchar_t* to, DWORD flags);
// CreateProcessW with the same retries; 0 with the last error set. With a
// `job`, the child is in it before it runs (else it runs on its own).
int start_with_retries(wchar_t* command, BOOL inherit, DWORD flags, const wchar_t* folder,
                       STARTUPINFOW* startup, PROCESS_INFORMATION* process, HANDLE job);

// ---- test hooks --------------------------------------------------------------
// A named moment of the run. Test builds can hold the run there (so a test
// can end it at that very moment); release builds have no such code.
// The first thing a run does in a test build: it creates the file that
// STONEWAKE_TEST_START_MARK names, so that the harness can tell a run of the
// setup from a start that Wine failed before any line of it ran.
#if defined(STONEWAKE_TEST_HOOKS)
void test_point(const char* name);
void test_started(void);
#else
inline void test_point(const char*) {}
inline void test_started(void) {}
#endif

#if defined(_MSC_VER)
#define SETUP_NORETURN __declspec(noreturn)
#define SETUP_NORETURN_AFTER
#else
#define SETUP_NORETURN
#define SETUP_NORETURN_AFTER __attribute__((noreturn))
#endif

// ---- ending a run (app/) ---------------------------------------------------
// Ends the run with `message`: finishes a running tar first (its own failure,
// an earlier part's, is then the one reported), lets the home's lock go, and
// tells the user (standard error in CLI mode; else a box owned by the
// window, once it exists, or an ownerless one from start-up). Ends the
// process, or on the worker in window mode the worker (the window closes and
// the run's exit code is 1).
SETUP_NORETURN void run_end(const wchar_t* message) SETUP_NORETURN_AFTER;
// Ends the process. Children are started under the start lock, so the
// process never ends between a child's creation and its entry into its job.
SETUP_NORETURN void process_end(UINT code) SETUP_NORETURN_AFTER;
void child_start_lock(void);
void child_start_unlock(void);

// ---- reporting (ui/) -------------------------------------------------------
void status(const wchar_t* fmt, ...);
// The bar at `percent` (-1: the marquee), the window told when it changed;
// never ends the run, so jobs beside the worker may call it.
void progress_show(LONG percent);
// One line on standard output in CLI mode (UTF-8).
void say_out(const wchar_t* text);
// Formats the message and ends the run with it (run_end).
SETUP_NORETURN void fail(const wchar_t* fmt, ...) SETUP_NORETURN_AFTER;
void say_error(const wchar_t* text);
// Posts `message` to the progress window, when there is one.
void window_post(UINT message, WPARAM wparam);
// An error box; where the window library cannot be loaded, the text goes to
// standard error instead.
void error_box(HWND owner, const wchar_t* text, const wchar_t* caption);
// Bounded wide formatter: at most cap - 1 characters and the terminator,
// always terminated. Returns the length, or -1 when the text did not fit
// (the buffer then holds the cut text).
int format_bounded(wchar_t* out, size_t cap, const wchar_t* fmt, va_list ap);
int format_into(wchar_t* out, size_t cap, const wchar_t* fmt, ...);
// The thread that ran start-up; run_end() ends the process when called on it.
extern DWORD g_main_thread;
// Set once the Builder process exists; a window closed before that is a
// stopped setup, not a finished one.
extern volatile LONG g_builder_started;

// Window set-up: registers the class, creates the window and its controls,
// starts the marquee and shows it. Returns 0 when the window could not be made.
MAY_END_RUN int window_create(HINSTANCE instance, int show);
LRESULT CALLBACK wndproc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
// Copies the current status line under its lock (the window thread's read).
void status_snapshot(wchar_t out[STATUS_CAP]);

// ---- paths and Builder home (home/) ----------------------------------------
// A path that does not fit is -1 (the text is then cut), or in a portable
// home ends the run.
MAY_END_RUN int home_path(wchar_t out[PATH_CAP], const wchar_t* fmt, ...);
// home_path for the worker's own paths: one that does not fit ends the run.
MAY_END_RUN void work_path(wchar_t out[PATH_CAP], const wchar_t* fmt, ...);
int qb_home_join(wchar_t* out, size_t capacity, const wchar_t* folder, const wchar_t* name);
int qb_home_full(wchar_t out[PATH_CAP], const wchar_t* in);
int qb_home_parent(wchar_t* path);
// Reads at most `capacity` bytes of a small file (shared with every other
// reader and writer, also one renaming a record over it): 1 with the count,
// 0 when it does not exist, -1 when it cannot be read.
int qb_home_bytes(const wchar_t* path, char* buffer, DWORD capacity, DWORD* count);
int qb_home_is_root(const wchar_t* path);
int qb_home_marked(const wchar_t* folder);
int qb_home_make_marker(const wchar_t* folder);
int qb_home_discover(qb_home* home, const wchar_t* explicit_home, const wchar_t* setup_path,
                     const wchar_t* default_home, int named_launcher);
// The whole selection of start-up, ordinary or portable mode, with the
// export to the environment. Fills g_home and returns what g_home_ok becomes.
MAY_END_RUN int qb_home_select(int portable_mode);
// Creates a folder with all its missing ancestors; results are ignored.
void make_folders(const wchar_t* path);

// ---- start-up (app/) -------------------------------------------------------
// Copies the tail into g_cmdline (cut at 2047) and removes a leading
// --portable; returns 1 when it was there.
int cmdline_take(const wchar_t* tail);
// 1 when the text after leading spaces of g_cmdline is `option` followed by
// the end or a space.
int cmdline_starts_with(const wchar_t* option);
// 1 when the file name of `module_path` is stonewake.exe in any case.
int launcher_named(const wchar_t* module_path);
int play_road(void);
MAY_END_RUN int launcher_road(const wchar_t* module_path);
// The whole start: returns the process exit code.
MAY_END_RUN int setup_main(HINSTANCE instance, const wchar_t* tail, int show);
MAY_END_RUN DWORD WINAPI work(void* unused);

// ---- release lookup (release/) ---------------------------------------------
struct mem_buf {
    char* data;
    unsigned long long len;
    unsigned long long cap;
};

struct file_hash_ctx {
    HANDLE file;
    BCRYPT_HASH_HANDLE hash;
    DWORD write_error;  // set by file_sink when the file could not take the bytes
};

typedef int (*http_sink)(void* context, const void* bytes, DWORD count);

MAY_END_RUN int http_get(const char* url, http_sink sink, void* context, unsigned long long expected,
             const wchar_t* accept);

// A body of `expected` bytes that the sink already holds the first `held`
// bytes of: asked for from there on ("Range: bytes=<held>-" when held is not
// 0). A 206 answer counts only with the Content-Range of exactly that rest; a
// 200 answer is the whole body again, so the sink is rewound to byte 0 first.
struct http_range {
    unsigned long long held;       // in: bytes the sink holds; out: the same after the transfer
    int (*rewind)(void* context);  // empties the sink; 0 when it could not
    int ranges;                    // set by each 200 or 206 answer: 1 when the host takes ranges
};
MAY_END_RUN int http_get_range(const char* url, http_sink sink, void* context, unsigned long long expected,
                   const wchar_t* accept, http_range* range);
// A span of a body of `total` bytes, asked for with "Range: bytes=<first>-
// <last>": only a 206 answer with exactly that Content-Range is read into the
// sink, the bar showing `shown` and the bytes read of `scale`. A 200 answer is
// the whole body (the host does not take ranges): read into `whole` when
// that is given, the bar following it. `answer` tells which was read (0: none).
struct http_span {
    unsigned long long first, last, total;
    unsigned long long shown, scale;
    http_sink whole;
    void* whole_context;
    int answer;
};
MAY_END_RUN int http_get_span(const char* url, http_sink sink, void* context, http_span* span);
int mem_sink(void* context, const void* bytes, DWORD count);
MAY_END_RUN int file_sink(void* context, const void* bytes, DWORD count);
void mem_free(mem_buf* buffer);
// The outcome classes of a failed request, by the status it left.
int http_retryable(DWORD status);

const char* manifest_url(void);
void requested_tag(char out[LIST_TAG_CAP]);
// 1 when the command line has a --tag value that is refused (empty, or a
// character a tag cannot hold), with the value as given (at most 127
// characters) in `shown`.
int requested_tag_refused(wchar_t shown[LIST_TAG_CAP]);
MAY_END_RUN int api_link_for(const char* url, char out[URL_CAP]);
MAY_END_RUN int api_asset_url(const char* repo, const char* tag, const char* asset, char out[URL_CAP]);

// What the first phase of the worker hands on.
struct fetch_result {
    setup_list list;
    unsigned long long serial;  // a signed list's, when above the home's record; else 0
    int repair;
    wchar_t downloads[PATH_CAP];
};
MAY_END_RUN void fetch_setup_list(fetch_result* out);
// What ends the run when a name of the setup list cannot be used.
extern const wchar_t list_name_refused[];
// 1 when the build holds publisher keys (STONEWAKE_LIST_KEYS), so that only a
// list one of them signed is used.
int list_keys_held(void);
// 1 when the list's signing is complete and one of the build's keys verifies
// its signature over the list's bytes (`body`, as they came).
MAY_END_RUN int list_signature_verified(const char* body, const list_signing* signing);

// ---- part installation (install/) ------------------------------------------
struct install_paths {
    wchar_t versions[PATH_CAP];
    wchar_t version[PATH_CAP];
    wchar_t installed_txt[PATH_CAP];
    wchar_t builder_exe[PATH_CAP];
    wchar_t staging[PATH_CAP];
    wchar_t tag[LIST_TAG_CAP];
    wchar_t run[PATH_CAP];
};
MAY_END_RUN void install_paths_form(const setup_list* list, install_paths* out);
int install_needed(const install_paths* paths, int repair);
MAY_END_RUN void install_version(const fetch_result* fetched, install_paths* paths);
int part_folder(const part_record* part, wchar_t out[PATH_CAP]);
// 1 when the installed version holds this part, with the part's folder there
// (`source`) and where it goes in the staging folder (`destination`);
// part_reuse then takes it over from there (0 when it could not).
MAY_END_RUN int part_reusable(const setup_list* list, unsigned index, const install_paths* paths,
                  wchar_t source[PATH_CAP], wchar_t destination[PATH_CAP]);
MAY_END_RUN int part_reuse(const setup_list* list, unsigned index, const install_paths* paths,
                           const wchar_t* source, const wchar_t* destination);
// The tree at `source` rebuilt at `destination`: folders made, files hard
// linked (or copied where links are refused). 0 at the first failure, with
// what was made so far left in place; links below `source` fail it.
int copy_part_tree(const wchar_t* source, const wchar_t* destination);
enum { SPREAD_MAX = 4 };  // threads at most, the caller's included
// `job(context, i)` for every i below `count`, spread over up to
// spread_width() threads, the caller's among them: 1 when every call gave
// nonzero (after the first 0, calls not yet begun are skipped). Jobs run
// side by side: they share nothing writable but their own results, and never
// end the run.
int spread(size_t count, int (*job)(void* context, size_t i), void* context);
// The logical processors, at least 1 and at most SPREAD_MAX.
unsigned spread_width(void);
// Paths noted for a spread, one after another, each ending in 0.
struct path_list {
    mem_buf text;
    mem_buf starts;  // where each path starts in `text` (size_t each)
};
int path_list_add(path_list* list, const wchar_t* path);  // 0 when out of memory
size_t path_list_count(const path_list* list);
const wchar_t* path_list_at(const path_list* list, size_t i);
void path_list_free(path_list* list);
// The run's SHA-256 provider opened (the run ends when it cannot be had):
// called on the worker before any hash runs beside it.
MAY_END_RUN void sha256_ready(void);
// What tells a file from itself changed, shared by its hard links: its
// creation and last-write times and its size. A copy has a creation time of
// its own (on Windows; Wine gives it the source's, and a copy of an
// unchanged file holds the same bytes).
struct file_identity {
    unsigned long long created, written, size;
};
int file_identity_of(HANDLE file, file_identity* out);
int file_identity_same(const file_identity* a, const file_identity* b);
// The SHA-256 of a file, read whole and unchanged while it was read, with
// its identity (when `identity` is given). Never ends the run: 0 when the
// file cannot be read so, or the provider is not ready.
int file_sha256(const wchar_t* path, char digest[65], file_identity* identity);
MAY_END_RUN void sha256_of(const void* bytes, size_t count, unsigned char out[32]);
MAY_END_RUN void part_fetch(const setup_list* list, unsigned index, const wchar_t* downloads,
                const wchar_t* archive);
// Unpacking goes on beside the worker: unpack_start starts Windows' tar.exe
// on a part's archive, into a folder of its own, once fewer tars run than the
// machine has logical processors (at most 4), and returns; unpack_finish
// waits for every running tar (1 when it waited for one, 0 when none ran);
// unpack_poll, called while the next part downloads, notices a tar that
// failed without waiting for the download to end. Tars are judged and their
// parts put in place in the list's order: a failure is reported for the
// earliest failing part, a later one's only once every earlier part has
// ended well. run_end() finishes the running tars first, so that an earlier
// part's failure is the one reported.
MAY_END_RUN void unpack_start(const setup_list* list, unsigned index, const wchar_t* staging,
                  const wchar_t* archive);
MAY_END_RUN int unpack_finish(void);
MAY_END_RUN void unpack_poll(void);
// The same for a zip of a part's changes, save that a tar that fails on it is
// no failure of the run: unpack_finish keeps the outcome, and
// unpack_changes_taken hands it on once (1 unpacked, -1 failed, 0 none since
// the last call), with the part's index.
MAY_END_RUN void unpack_changes_start(const setup_list* list, unsigned index, const wchar_t* staging,
                                      const wchar_t* archive);
int unpack_changes_taken(unsigned* index);
// A failure of part `index` is being reported: failures of later parts are
// no longer judged.
void unpack_failing(unsigned index);
// Where a part goes in the staging folder (its `dir`), and the folder of its
// own that its tar unpacks into.
MAY_END_RUN void part_destination(const wchar_t* staging, const part_record* part, wchar_t out[PATH_CAP]);
MAY_END_RUN void part_own_folder(const wchar_t* staging, const setup_list* list, unsigned index,
                                 wchar_t out[PATH_CAP]);
// Moves what the part's tar unpacked into its own folder to the part's place
// (a folder that is there merged, the part's files winning), then names its
// top entry.
MAY_END_RUN void part_place(const setup_list* list, unsigned index, const wchar_t* staging);
// The part's top entry, unpacked into `destination`, gets its name (from -> to).
MAY_END_RUN void part_top_rename(const setup_list* list, unsigned index, const wchar_t* destination);
// The delta road of an update, for a part that is not taken over whole: the
// files the installed version holds with the same size and SHA-256 at the
// same place are linked into the staging folder, the local records of the
// other entries are fetched by byte ranges of the part's own zip into a zip
// of their own, and that zip is unpacked by tar. Each step returns 0 when the
// road is not taken or failed; then nothing it staged is left, and the part
// is fetched whole. part_changes_fetch decides from the release index and
// fetches the records into `zip`; part_changes_place links the kept files
// (after the part before is unpacked); part_changes_check, after the tar,
// finds every entry in place with its size and every unpacked file with its
// SHA-256, and gives the top entry its name. part_changes_drop removes what
// the road staged for the part.
MAY_END_RUN int part_changes_fetch(const setup_list* list, unsigned index, const install_paths* paths,
                                   const wchar_t* downloads, wchar_t zip[PATH_CAP]);
MAY_END_RUN int part_changes_place(unsigned index);
MAY_END_RUN int part_changes_check(unsigned index);
MAY_END_RUN void part_changes_drop(unsigned index);
// A part that a repair found whole in the installed copy: its files linked,
// its top entry named. 0 when that was not the plan, or failed (then it is
// fetched whole).
MAY_END_RUN int part_changes_keep(unsigned index);
// The healing road of a repair, or of a run that found the listed version's
// Builder incomplete: when the list has an index and the listed version is
// installed, shows "Checking the installed files...", hashes every file of
// it against the index and plans every part; 1 when the road is taken, with
// `intact` 1 when nothing is to be done (every file intact, nothing unlisted).
MAY_END_RUN int repair_plan(const fetch_result* fetched, const install_paths* paths, int* intact);
// 1 when the repair found the part whole, for part_changes_keep.
int repair_keeps_whole(unsigned index);
// The part is in place: healed (its damaged files fetched) or fetched whole.
void repair_part_done(unsigned index, int whole);
// In CLI mode, after a repair: "Repaired: ... fetched (... bytes); ... were intact."
void repair_report(const fetch_result* fetched);
// Builds the tar command line (and, when a path cannot pass through the ANSI
// code page, the relative forms). Returns 0 when it does not fit.
int tar_command_line(wchar_t* out, size_t cap, const wchar_t* system_folder,
                     const wchar_t* archive, const wchar_t* destination);

// ---- version store and launch (store/) -------------------------------------
int builder_ready(const wchar_t* exe);
// Removes a folder and all below it (a link alone, never what it points to;
// nothing when the name holds a file). Its files go as delete_file deletes.
NEVER_ENDS_RUN void rmtree(const wchar_t* folder);
// Deletes a file, also a read-only one, without changing what its other hard
// links share with it: an installed version's file linked into a staging
// folder, or the new version's file linked from the one swept away, keeps
// its read-only attribute. Where the system cannot delete past the
// attribute, it is cleared through a handle, the name is marked for
// deletion, and the attribute is put back through the same handle.
int delete_file(const wchar_t* path);
// Removes every folder in the versions folder but the version of `tag`
// (renamed to a .gone name first); with `tag` 0, only what a sweep left under
// .gone names (a file in use, such as the running Builder's).
NEVER_ENDS_RUN void version_sweep(const wchar_t* versions, const char* tag);
void record_write(const wchar_t* path, const char* bytes, DWORD count);
// The first line of a record (at most 127 bytes, cut at CR or LF); 0 when the
// file cannot be read (the text is then empty).
int first_line_read(const wchar_t* path, char text[LIST_TAG_CAP]);
// The installed version's tag, as versions\current.txt names it: 1 only for a
// tag that passes the name rules (no name outside the versions folder), else
// 0 with the tag empty.
MAY_END_RUN int current_tag_read(const wchar_t* versions, char tag[LIST_TAG_CAP]);
MAY_END_RUN void write_parts(const wchar_t* version, const part_record* parts, unsigned count);
// The records of a run that installed or found the list's version: parts.txt
// when missing, current.txt and previous.txt, and serial.txt (the highest
// serial of a signed list this home has used; `serial` 0: none to record).
MAY_END_RUN void records_step(const install_paths* paths, const setup_list* list,
                              unsigned long long serial);
// The serial that versions\serial.txt records; 0 when none or unreadable.
MAY_END_RUN unsigned long long serial_read(const wchar_t* versions);
MAY_END_RUN void publish_version(const install_paths* paths, const setup_list* list);
// One setup at a time per Builder home: a named mutex of the home's path.
// home_lock_take waits (with a status line) while another setup holds it;
// home_lock_release lets the next one go (both calls from the worker).
void home_lock_name(const wchar_t* home, wchar_t out[64]);
void home_lock_take(void);
NEVER_ENDS_RUN void home_lock_release(void);
// Takes the lock only when no other setup holds it; 1 when taken.
int home_lock_try(void);
// A run ended between setting the old copy of a tag aside and moving the new
// copy into place leaves that tag only under its backup name: the current
// version's backup goes back under its own name. Called only under the home's
// lock, so no running setup is between those two moves. 1 when put back.
MAY_END_RUN int version_restore_current(const wchar_t* versions);
// Starts the Builder after an install ("Starting the Stonewake Builder...";
// the window closes in window mode) and hands back its process;
// builder_finish then, in CLI mode, waits for it and takes its exit code as
// the run's, sweeps what the sweep had to leave while it ran (when no other
// setup holds the home), and ends the run's window and message loop.
MAY_END_RUN void builder_start(const wchar_t* exe, HANDLE* process);
NEVER_ENDS_RUN void builder_finish(HANDLE process, const wchar_t* versions);
MAY_END_RUN int launch_installed(void);

#endif
