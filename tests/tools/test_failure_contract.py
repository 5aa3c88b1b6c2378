"""The failure contract's call-graph check, over small sources in temp folders
and over a copy of src/ with marks taken away."""

from __future__ import annotations

import re
import shutil
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "harness"))

import failure_contract  # noqa: E402

# What every case's src/ holds: the marks, fail and spread.
BASE = {
    "setup.h": """
#define MAY_END_RUN
#define NEVER_ENDS_RUN
#define SETUP_NORETURN
SETUP_NORETURN void fail(const wchar_t* fmt, ...);
int spread(size_t count, int (*job)(void* context, size_t i), void* context);
typedef int (*http_sink)(void* context, const void* bytes, DWORD count);
""",
    "ending.cpp": """
#include "setup.h"
void fail(const wchar_t* fmt, ...) {
    ExitProcess(1);
}
int spread(size_t count, int (*job)(void* context, size_t i), void* context) {
    for (size_t i = 0; i < count; ++i)
        if (!job(context, i)) return 0;
    return 1;
}
""",
}

# (case, the file x.cpp, faults expected as (file:line, text) pairs; none: holds)
CASES = [
    ("an unmarked function reaching fail through a callee", """
MAY_END_RUN static void leaf(void) { fail(L"x"); }
void middle(void) { leaf(); }
""", [("x.cpp:3", "middle can end the run but carries no MAY_END_RUN: middle -> leaf -> fail -> ExitProcess")]),
    ("a function handed as an argument is called by the one handing it, not by its receiver", """
MAY_END_RUN static int sink(void* c, const void* b, DWORD n) { fail(L"x"); return 0; }
int get(http_sink s) { return s(0, 0, 0); }
int fetch(void) { return get(sink); }
MAY_END_RUN int fetch_marked(void) { return get(&sink); }
int fetch_twice(void) { return fetch_marked() && get(0); }
""", [("x.cpp:4", "fetch can end the run but carries no MAY_END_RUN: fetch -> sink -> fail"),
      ("x.cpp:6", "fetch_twice can end the run but carries no MAY_END_RUN: fetch_twice -> ")]),
    ("a function named where it is kept is called by the one naming it", """
MAY_END_RUN static long handler(int m) { fail(L"x"); return 0; }
struct window_class { long (*proc)(int); };
void register_class(void) { window_class c = {}; c.proc = handler; }
void make(void) { window_class c = {handler}; }
""", [("x.cpp:4", "register_class can end the run"), ("x.cpp:5", "make can end the run")]),
    ("a stale mark, in a header or at a file-local definition", """
MAY_END_RUN int quiet(int v);
int quiet(int v) { return v + 1; }
MAY_END_RUN static int calm(void) { return quiet(1); }
""", [("x.cpp:2", "MAY_END_RUN stands on quiet, which cannot end the run (a stale mark)"),
      ("x.cpp:4", "MAY_END_RUN stands on calm, which cannot end the run (a stale mark)")]),
    ("a spread job reaching fail, also one handed on through a parameter", """
MAY_END_RUN static int job(void* c, size_t i) { fail(L"x"); return 1; }
MAY_END_RUN static int other(void* c, size_t i) { fail(L"y"); return 1; }
static int each(int (*j)(void*, size_t)) { return spread(2, j, 0); }
MAY_END_RUN int run(void) { return spread(4, job, 0) && each(other); }
""", [("x.cpp:5", "the spread job job can end the run: job -> fail -> ExitProcess"),
      ("x.cpp:5", "the spread job other can end the run: other -> fail -> ExitProcess")]),
    ("a spread job that cannot be followed", """
struct work { int (*job)(void*, size_t); };
int run(work* w) { return spread(4, w->job, 0); }
""", [("x.cpp:3", "the spread job `w -> job` is no function's name")]),
    ("a NEVER_ENDS_RUN function reaching fail", """
MAY_END_RUN static void check(int v) { if (!v) fail(L"x"); }
NEVER_ENDS_RUN void sweep(int v);
void sweep(int v) { check(v); }
""", [("x.cpp:3", "the NEVER_ENDS_RUN function sweep can end the run: sweep -> check -> fail"),
      ("x.cpp:3", "sweep can end the run but carries no MAY_END_RUN")]),
    ("a marked chain holds, with a clean job and a clean NEVER_ENDS_RUN function", """
namespace {
MAY_END_RUN void leaf(void);
int job(void* c, size_t i) { return (int)i; }
}  // namespace
MAY_END_RUN void top(void) { leaf(); spread(2, job, 0); }
NEVER_ENDS_RUN void sweep(void) { spread(2, job, 0); }
namespace {
void leaf(void) { fail(L"x"); }
}  // namespace
""", []),
    ("comments, strings and preprocessor lines that name fail are no calls", """
#define SAYS_FAIL fail(L"x")
int quiet(void) {
    // fail(L"x");
    /* fail(L"y");
       ExitProcess(1); */
    say(L"fail(\\"z\\")", 'f', R"(fail(L"w"))");
    return 0;
}
void child_gone(HANDLE child) { TerminateProcess(child, 1); }
""", []),
    ("ending calls other than fail", """
void quit(void) { TerminateProcess(GetCurrentProcess(), 1); }
void leave(void) { ExitThread(0); }
""", [("x.cpp:2", "quit can end the run but carries no MAY_END_RUN: quit -> TerminateProcess"),
      ("x.cpp:3", "leave can end the run but carries no MAY_END_RUN: leave -> ExitThread")]),
    ("functions a macro defines, with and without the mark", """
#define DEFINE_LOADER(name) \\
    MAY_END_RUN const int* name(void) { return need_##name(); } \\
    const int* name##_quiet(void) { return 0; }
#define DEFINE_NEED(name) const int* need_##name(void) { fail(L"" #name); return 0; }
DEFINE_NEED(winhttp)
DEFINE_LOADER(winhttp)
#define GIVE_UP fail(L"gone")
void stop(void) { GIVE_UP; }
""", [("x.cpp:6", "need_winhttp can end the run but carries no MAY_END_RUN: need_winhttp -> fail"),
      ("x.cpp:9", "stop can end the run but carries no MAY_END_RUN: stop -> fail")]),
]


def check(src: Path, capsys, monkeypatch) -> tuple[int, list[str], str]:
    """The check's exit code, its faults and all it printed, run from beside `src`."""
    monkeypatch.chdir(src.parent)
    rc = failure_contract.main(["failure_contract.py", str(src)])
    out = capsys.readouterr().out
    faults = [line[len("failure contract: "):] for line in out.splitlines()[:-1]]
    return rc, faults, out


@pytest.mark.parametrize("case, code, expected", CASES, ids=[c[0] for c in CASES])
def test_snippets(tmp_path, capsys, monkeypatch, case, code, expected):
    src = tmp_path / "src"
    src.mkdir()
    for name, text in BASE.items():
        (src / name).write_text(text, encoding="utf-8")
    (src / "x.cpp").write_text('#include "setup.h"' + code, encoding="utf-8")
    rc, faults, out = check(src, capsys, monkeypatch)
    assert rc == (1 if expected else 0), out
    assert out.splitlines()[-1].endswith("holds" if not expected else "%d faults" % len(expected)), out
    for at, text in expected:
        assert any(f.startswith("src/" + at + ": ") and text in f for f in faults), (at, text, out)


def test_the_tree_holds_and_its_marks_are_needed(tmp_path, capsys, monkeypatch):
    """src/ holds; without the marks of the delta road's place and drop steps
    and of part_destination, each is reported with its chain to fail."""
    src = tmp_path / "src"
    shutil.copytree(REPO / "src", src)
    rc, faults, out = check(src, capsys, monkeypatch)
    assert rc == 0 and out.strip().endswith("holds"), out
    # Wherever the declarations stand: setup.h or a header of the install folder.
    mark = re.compile(r"^MAY_END_RUN ((?:int|void) (?:part_changes_place|part_changes_drop|part_destination)\()", re.M)
    removed = 0
    for header in src.rglob("*.h"):
        text, n = mark.subn(r"\1", header.read_text(encoding="utf-8"))
        header.write_text(text, encoding="utf-8")
        removed += n
    assert removed == 3
    rc, faults, out = check(src, capsys, monkeypatch)
    assert rc == 1, out
    reported = {f.split(" ")[1] for f in faults}
    assert reported == {"part_changes_place", "part_changes_drop", "part_destination"}, out
    assert all(re.match(r"src/\S+\.h:\d+: ", f) and "part_destination -> work_path -> fail -> " in f
               for f in faults), out
