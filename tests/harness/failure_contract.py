#!/usr/bin/python3
"""The failure contract, checked over the product's sources as a call graph.

A call of fail() does not return: it ends the run (run_end, then
process_end's ExitProcess or the worker's ExitThread). MAY_END_RUN stands
where a function is declared (or, for a file-local one, defined) when it may
end the run so, through a call of its own or of anything it calls;
SETUP_NORETURN stands on the few that always do. NEVER_ENDS_RUN stands on what
must never end the run (what runs after the Builder has started), and a job
handed to spread() runs beside the worker, on threads of its own, so it must
never end the run either: it returns 0 and the worker decides.

This script reads every .cpp and .h file below src/, finds each function's
definitions and declarations (and the marks before them), the calls in each
body, and the functions each body names without calling them: each counts
as called by the function that names it, whether it hands it as an argument
(a job to spread, a sink to http_get, a visitor to folder_each: what the
receiver calls back runs within that call), puts it in a struct or hands it
to the system (a window procedure, a thread, a closer). It then finds which functions can
reach a call that ends the process or thread (ExitProcess, ExitThread,
exit, abort, TerminateProcess of the process itself and their kind), and
fails, naming the function, its file:line and a chain of calls down to that
end, when
  - a function that can end the run carries neither MAY_END_RUN nor
    SETUP_NORETURN at any declaration or definition;
  - a MAY_END_RUN (or SETUP_NORETURN) function cannot end the run (a stale
    mark), or has no definition below src/;
  - a NEVER_ENDS_RUN function, or a spread job, can end the run;
  - a spread job is not a function's name (then it cannot be followed).
A job handed on through a parameter (a function that passes its own
parameter to spread) makes that parameter a job slot too.

How it reads C++, crudely but on the safe side (it may see a call where there
is none, rarely the reverse):
  - comments and string and character literals are dropped before anything
    is read, so a `fail(` in either means nothing; preprocessor lines are
    dropped too, so the code of both sides of an #if counts;
  - macros defined below src/ are expanded where they are used (with # and
    ##), so functions a macro defines or declares are seen, and a call that
    a macro makes; the marks are not expanded; a macro defined twice (on the
    two sides of an #if) is read as its last definition;
  - a function is a name with a parameter list followed by a body, at the
    top level or in a namespace, an extern "C" block or a class body;
    a name resolves to the file's own (static or anonymous-namespace)
    function first, else to every global function of that name (overloads
    are one function); names of the function's own parameters are not
    functions inside its body, other local names that shadow a function are
    taken as that function;
  - `x.m(` and `x->m(` call every member function named m; a body that names
    a class calls all its member functions (construction and destruction);
  - a function named in the initializer of a file-scope variable is called
    by every function that names that variable;
  - a function pointer kept by a receiver for another function to call later
    counts as called by the function that handed it; lambdas count as their
    enclosing body;
  - functions that src/ does not define (Windows, the C runtime, the test
    hooks, which the test build defines elsewhere) never end the run, save
    the ending calls above.

Usage: failure_contract.py [<src folder>]   (exit 0: holds, 1: broken)
"""

from __future__ import annotations

import re
import sys
from collections import deque
from pathlib import Path

# Calls that end the process or the calling thread: the run's end.
ENDING_CALLS = {"ExitProcess", "ExitThread", "exit", "_exit", "_Exit", "quick_exit", "abort",
                "FatalExit", "FatalAppExitA", "FatalAppExitW", "RaiseFailFastException", "__fastfail"}
# Calls that end the run only when aimed at the caller's own process or thread.
SELF_ENDING = {"TerminateProcess": "GetCurrentProcess", "TerminateThread": "GetCurrentThread"}
MAY, NEVER, ALWAYS = "MAY_END_RUN", "NEVER_ENDS_RUN", "SETUP_NORETURN"
SPREAD = ("spread", 1)  # the receiver of jobs and the index of its job argument
KEYWORDS = {"if", "for", "while", "do", "switch", "return", "sizeof", "catch", "defined", "decltype",
            "static_assert", "alignof", "alignas", "__attribute__", "__declspec", "case", "new", "delete",
            "throw", "typeid", "noexcept", "else", "goto", "operator", "static_cast", "const_cast",
            "reinterpret_cast", "dynamic_cast"}
SKIPPED_GROUPS = {"__attribute__", "__declspec", "alignas", "decltype", "noexcept"}
TOKEN = re.compile(r"""
    (?P<skip>//[^\n]*|/\*.*?\*/)
  | (?P<directive>^[ \t]*\#(?:[^\n]*\\\n)*[^\n]*)
  | (?P<literal>(?:u8|[uUL])?R"(?P<delim>[^(\s]{0,16})\(.*?\)(?P=delim)"
               |(?:u8|[uUL])?"(?:\\.|[^"\\\n])*"|(?:u8|[uUL])?'(?:\\.|[^'\\\n])*')
  | (?P<number>\.?\d(?:[eEpP][+-]|[\w.'])*)
  | (?P<word>[A-Za-z_]\w*)
  | (?P<punct>\#\#|::|->|\#|[{}()\[\];,=<>*&.~!?:+\-/%|^])
  | (?P<space>\s+)
  | (?P<other>.)
""", re.S | re.M | re.X)
DEFINE = re.compile(r"^\s*#\s*define\s+(\w+)(?:\(([^)]*)\))?(.*)$", re.S)
IDENT = re.compile(r"[A-Za-z_]\w*$")


class Tok:
    __slots__ = ("text", "line")

    def __init__(self, text: str, line: int):
        self.text, self.line = text, line


def is_ident(text: str) -> bool:
    return bool(IDENT.match(text))


def lex(text: str, first_line: int = 1, directives: list | None = None) -> list[Tok]:
    """The tokens of C++ text without comments, spaces and preprocessor lines
    (which go to `directives` with their lines); every literal is '""'."""
    out: list[Tok] = []
    line, at = first_line, 0
    for m in TOKEN.finditer(text):
        line += text.count("\n", at, m.start())
        at = m.start()
        kind = m.lastgroup
        if kind == "directive":
            if directives is not None:
                directives.append((m.group(), line))
        elif kind == "literal":
            out.append(Tok('""', line))
        elif kind not in ("skip", "space"):
            out.append(Tok(m.group(), line))
    return out


class Macros:
    """The macros defined below src/ but the marks, expanded where used."""

    def __init__(self):
        self.table: dict[str, tuple[list[str] | None, list[Tok]]] = {}

    def add(self, directive: str):
        m = DEFINE.match(directive.replace("\\\n", " "))
        if m and m.group(1) not in (MAY, NEVER, ALWAYS):
            params = None if m.group(2) is None else [p.strip() for p in m.group(2).split(",") if p.strip()]
            self.table[m.group(1)] = (params, lex(m.group(3)))

    def expand(self, toks: list[Tok], active: frozenset = frozenset()) -> list[Tok]:
        out: list[Tok] = []
        i = 0
        while i < len(toks):
            t = toks[i]
            if t.text in self.table and t.text not in active and self.table[t.text][0] is None:
                out += self.expand([Tok(b.text, t.line) for b in self.table[t.text][1]], active | {t.text})
                i += 1
                continue
            if t.text in self.table and t.text not in active and i + 1 < len(toks) and toks[i + 1].text == "(":
                args, after = split_args(toks, i + 1)
                if args is not None:
                    body = self.substitute(t.text, args, t.line)
                    out += self.expand(body, active | {t.text})
                    i = after
                    continue
            out.append(t)
            i += 1
        return out

    def substitute(self, name: str, args: list[list[Tok]], line: int) -> list[Tok]:
        params, body = self.table[name]
        if params and params[-1] == "...":
            fixed = len(params) - 1
            rest = args[fixed:]
            joined: list[Tok] = []
            for k, a in enumerate(rest):
                joined += ([Tok(",", line)] if k else []) + a
            args = args[:fixed] + [joined]
            params = params[:fixed] + ["__VA_ARGS__"]
        value = {p: (args[k] if k < len(args) else []) for k, p in enumerate(params)}

        def of(tok: Tok) -> list[Tok]:
            return [Tok(a.text, line) for a in value[tok.text]] if tok.text in value else [Tok(tok.text, line)]

        out: list[Tok] = []
        k = 0
        while k < len(body):
            t = body[k]
            if t.text == "#" and k + 1 < len(body) and body[k + 1].text in value:
                out.append(Tok('""', line))
                k += 2
            elif t.text == "##" and out and k + 1 < len(body):
                right = of(body[k + 1])
                left = out.pop()
                out.append(Tok(left.text + (right[0].text if right else ""), line))
                out += right[1:]
                k += 2
            else:
                out += of(t)
                k += 1
        return out


def split_args(toks: list[Tok], open_at: int) -> tuple[list[list[Tok]] | None, int]:
    """The arguments of the parenthesis opening at `open_at`, split at its
    own commas, and the index after its closing parenthesis."""
    args: list[list[Tok]] = [[]]
    depth, k = 0, open_at
    while k < len(toks):
        t = toks[k].text
        if t in "([{":
            depth += 1
            if depth == 1:
                k += 1
                continue
        elif t in ")]}":
            depth -= 1
            if depth == 0:
                return (args if args != [[]] else []), k + 1
        elif t == "," and depth == 1:
            args.append([])
            k += 1
            continue
        args[-1].append(toks[k])
        k += 1
    return None, k


def closing(toks: list[Tok], open_at: int) -> int:
    """The index of the bracket closing the one at `open_at`."""
    depth = 0
    for k in range(open_at, len(toks)):
        t = toks[k].text
        if t in "([{":
            depth += 1
        elif t in ")]}":
            depth -= 1
            if depth == 0:
                return k
    return len(toks) - 1


def function_head(head: list[Tok]) -> tuple[int, int] | None:
    """For a declaration's or definition's head (the tokens before ';' or
    '{'): the index of the function's name and of its parameter list's '(',
    or None when the head declares no function."""
    if not head or head[0].text in ("typedef", "using", "template", "friend"):
        return None
    k = 0
    while k < len(head):
        t = head[k].text
        if t == "=":
            return None
        if t == "(":
            if k and head[k - 1].text in SKIPPED_GROUPS:
                k = closing(head, k) + 1
                continue
            if k == 0 or not is_ident(head[k - 1].text) or head[k - 1].text in KEYWORDS:
                return None
            if k + 1 < len(head) and head[k + 1].text in ("*", "&"):
                return None  # a pointer to a function: int (*job)(...)
            return k - 1, k
        k += 1
    return None


def parameters(head: list[Tok], open_at: int) -> list[str]:
    """The names of a parameter list's parameters, in order ('' where unnamed)."""
    names = []
    for arg in split_args(head, open_at)[0] or []:
        texts = [t.text for t in arg]
        if "=" in texts:
            texts = texts[:texts.index("=")]
        name = ""
        for k in range(len(texts) - 2):
            if texts[k] == "(" and texts[k + 1] == "*" and is_ident(texts[k + 2]):
                name = texts[k + 2]  # a function pointer: int (*job)(...)
                break
        else:
            while texts and texts[-1] == "]":
                texts = texts[:texts.index("[")] if "[" in texts else []
            if len(texts) > 1 and is_ident(texts[-1]) and texts[-1] not in ("void", "const"):
                name = texts[-1]
        names.append(name)
    return names


class Function:
    def __init__(self, key, name: str, owner: str | None):
        self.key, self.name, self.owner = key, name, owner
        self.defined: list[tuple[Path, int]] = []   # definitions
        self.declared: list[tuple[Path, int]] = []  # declarations
        self.marks: dict[str, tuple[Path, int]] = {}
        self.edges: list[tuple[object, Path, int]] = []  # (key called, where)
        self.ends: list[tuple[str, Path, int]] = []      # ending calls made here
        self.bodies: list[tuple[Path, list[Tok], set[str]]] = []  # body, own parameter names
        self.params: list[str] = []

    def where(self) -> tuple[Path, int]:
        return (self.declared or self.defined)[0]


class Graph:
    def __init__(self, src: Path):
        self.src = src
        self.macros = Macros()
        files = sorted(src.rglob("*.cpp")) + sorted(src.rglob("*.h"))
        raw = {}
        for path in files:
            directives: list = []
            raw[path] = lex(path.read_text(encoding="utf-8"), 1, directives)
            for text, _ in directives:
                self.macros.add(text)
        self.functions: dict[object, Function] = {}
        self.local_names: dict[Path, set[str]] = {}
        self.members: dict[str, list[object]] = {}     # member name -> keys
        self.classes: dict[str, list[object]] = {}     # class name -> member keys
        self.variables: dict[tuple[Path | None, str], list[str]] = {}  # file-scope initializers
        self.calls: list[tuple[object, object, int, list[Tok], Path, int]] = []  # caller, receiver, arg, tokens
        self.faults: list[str] = []
        for path in files:
            self.read(path, self.macros.expand(raw[path]))
        for f in list(self.functions.values()):
            for path, body, own in f.bodies:
                self.analyse(f, path, body, own)

    # ---- reading definitions and declarations ------------------------------
    def key_of(self, path: Path, name: str, local: bool, owner: str | None):
        if owner:
            return ("member", owner, name)
        if local:
            return ("local", path, name)
        return ("global", name)

    def function(self, key, name: str, owner: str | None) -> Function:
        if key not in self.functions:
            self.functions[key] = Function(key, name, owner)
            if owner:
                self.members.setdefault(name, []).append(key)
                self.classes.setdefault(owner, []).append(key)
        return self.functions[key]

    def read(self, path: Path, toks: list[Tok]):
        # Open scopes: ("ns"), ("anon"), ("class", name); anything else is skipped whole.
        scopes: list[tuple] = []
        head: list[Tok] = []
        static_names: set[str] = set()
        self.local_names.setdefault(path, set())
        i = 0
        while i < len(toks):
            t = toks[i].text
            if t == "}":
                if scopes:
                    scopes.pop()
                head = []
            elif t == ";":
                self.declaration(path, head, scopes, static_names)
                head = []
            elif t == "{":
                texts = [h.text for h in head]
                fn = function_head(head)
                if texts[:1] == ["namespace"]:
                    scopes.append(("anon",) if len(texts) == 1 else ("ns",))
                elif texts[:2] == ["extern", '""']:
                    scopes.append(("ns",))
                elif fn:
                    end = closing(toks, i)
                    self.definition(path, head, fn, toks[i + 1:end], scopes, static_names)
                    i, head = end + 1, []
                    continue
                elif "=" in texts or texts[-1:] == ["]"] or not texts:
                    end = closing(toks, i)  # an initializer: read on to the ';'
                    head += toks[i:end + 1]
                    i = end + 1
                    continue
                elif any(k in texts for k in ("struct", "class", "union")) and "enum" not in texts:
                    names = [x for x in texts if is_ident(x) and x not in ("struct", "class", "union", "final")]
                    scopes.append(("class", names[0] if names else ""))
                else:
                    end = closing(toks, i)  # an enum or anything unknown: passed over
                    i, head = end + 1, []
                    continue
                head = []
            elif t == ":" and len(head) == 1 and head[0].text in ("public", "private", "protected"):
                head = []
            else:
                head.append(toks[i])
            i += 1

    def place(self, path: Path, head: list[Tok], name: str, scopes: list[tuple], static_names: set[str]):
        owner = next((s[1] for s in reversed(scopes) if s[0] == "class"), None)
        texts = [h.text for h in head]
        k = texts.index(name) if name in texts else 0
        if k >= 2 and texts[k - 1] == "::" and is_ident(texts[k - 2]):
            owner = texts[k - 2]
        if k >= 1 and texts[k - 1] == "~":
            name = "~" + name
        in_cpp = path.suffix == ".cpp"
        local = in_cpp and not owner and (("anon",) in scopes or "static" in texts[:k] or name in static_names)
        if local:
            static_names.add(name)
            self.local_names[path].add(name)
        return self.key_of(path, name, local, owner), name, owner

    def note_marks(self, f: Function, head: list[Tok], name_at: int, path: Path):
        for h in head[:name_at]:
            if h.text in (MAY, NEVER, ALWAYS) and h.text not in f.marks:
                f.marks[h.text] = (path, h.line)

    def declaration(self, path: Path, head: list[Tok], scopes: list[tuple], static_names: set[str]):
        fn = function_head(head)
        if not fn:
            self.variable(path, head, scopes)
            return
        name_at, _ = fn
        key, name, owner = self.place(path, head, head[name_at].text, scopes, static_names)
        f = self.function(key, name, owner)
        f.declared.append((path, head[name_at].line))
        self.note_marks(f, head, name_at, path)

    def definition(self, path: Path, head: list[Tok], fn: tuple[int, int], body: list[Tok],
                   scopes: list[tuple], static_names: set[str]):
        name_at, open_at = fn
        key, name, owner = self.place(path, head, head[name_at].text, scopes, static_names)
        f = self.function(key, name, owner)
        f.defined.append((path, head[name_at].line))
        self.note_marks(f, head, name_at, path)
        params = parameters(head, open_at)
        f.params = f.params or params
        # A constructor's initializer list belongs to its body.
        after = head[closing(head, open_at) + 1:]
        f.bodies.append((path, after + body, {p for p in params if p}))

    def variable(self, path: Path, head: list[Tok], scopes: list[tuple]):
        """A file-scope variable with an initializer: the names it holds."""
        texts = [h.text for h in head]
        if "=" not in texts or any(s[0] == "class" for s in scopes):
            return
        eq = texts.index("=")
        before = [x for x in texts[:eq] if x not in ("[", "]") and not x.isdigit()]
        if not before or not is_ident(before[-1]):
            return
        local = path.suffix == ".cpp" and (("anon",) in scopes or "static" in before)
        names = [x for x in texts[eq + 1:] if is_ident(x)]
        self.variables.setdefault((path if local else None, before[-1]), []).extend(names)

    # ---- reading bodies ------------------------------------------------------
    def resolve(self, name: str, path: Path) -> list[object]:
        if name in self.local_names.get(path, ()):
            return [("local", path, name)]
        key = ("global", name)
        return [key] if key in self.functions else []

    def analyse(self, f: Function, path: Path, body: list[Tok], own: set[str]):
        # The open brackets of the body: for a call, what it calls and which argument is read.
        stack: list[list] = []
        n = len(body)
        for i, tok in enumerate(body):
            t = tok.text
            prev = body[i - 1].text if i else ""
            nxt = body[i + 1].text if i + 1 < n else ""
            if t in "([{":
                callee = None
                if t == "(" and i and is_ident(prev) and prev not in KEYWORDS:
                    before = body[i - 2].text if i >= 2 else ""
                    callee = (prev, before in (".", "->"))
                stack.append([callee, 0])
                continue
            if t in ")]}":
                if stack:
                    stack.pop()
                continue
            if t == "," and stack:
                stack[-1][1] += 1
                continue
            if not is_ident(t) or t in KEYWORDS or t in own:
                continue
            member = prev in (".", "->")
            if t in ENDING_CALLS and nxt in ("(", ",", ")", ";") and not member and not self.resolve(t, path):
                f.ends.append((t, path, tok.line))
                continue
            if t in SELF_ENDING and nxt == "(" and i + 2 < n and body[i + 2].text == SELF_ENDING[t]:
                f.ends.append((t, path, tok.line))
                continue
            if member:
                targets = self.members.get(t, []) if nxt == "(" else []
            else:
                targets = self.resolve(t, path) + self.classes.get(t, [])
                for key in (path, None):
                    for v in self.variables.get((key, t), []):
                        targets += self.resolve(v, path)
            if f.owner and not member and ("member", f.owner, t) in self.functions:
                targets.append(("member", f.owner, t))
            if nxt == "(" and not member and targets:
                self.call_site(f, path, tok, body, i)
            if not targets:
                continue
            # A function handed as an argument is called by the function that hands it
            # (spread's jobs are judged on their own, from the call sites).
            f.edges += [(g, path, tok.line) for g in targets]

    def call_site(self, f: Function, path: Path, tok: Tok, body: list[Tok], i: int):
        args = split_args(body, i + 1)[0] or []
        for receiver in self.resolve(tok.text, path):
            for k, arg in enumerate(args):
                self.calls.append((f.key, receiver, k, arg, path, tok.line))

    # ---- judging -------------------------------------------------------------
    def ending(self) -> dict[object, tuple]:
        """Every function that can end the run, with the next step of a
        shortest chain to the end: (key or None, the call, where)."""
        callers: dict[object, list] = {}
        for f in self.functions.values():
            for g, path, line in f.edges:
                callers.setdefault(g, []).append((f.key, path, line))
        step: dict[object, tuple] = {}
        queue = deque()
        for f in self.functions.values():
            if f.ends:
                what, path, line = f.ends[0]
                step[f.key] = (None, what, path, line)
                queue.append(f.key)
        while queue:
            g = queue.popleft()
            for caller, path, line in callers.get(g, []):
                if caller not in step:
                    step[caller] = (g, self.functions[g].name, path, line)
                    queue.append(caller)
        return step

    def chain(self, key, step: dict) -> str:
        names = [self.functions[key].name]
        seen = {key}
        while key in step:
            nxt, what, _, _ = step[key]
            names.append(what)
            if nxt is None or nxt in seen:
                break
            seen.add(nxt)
            key = nxt
        return " -> ".join(names)

    def jobs(self) -> list[tuple[object, Path, int]]:
        """Every function handed to spread as its job, also through parameters
        of functions that hand their own parameter on."""
        slots = {(("global", SPREAD[0]), SPREAD[1])}
        found, unknown = set(), set()
        grew = True
        while grew:
            grew = False
            for caller, receiver, k, arg, path, line in self.calls:
                if (receiver, k) not in slots:
                    continue
                texts = [t.text for t in arg if t.text != "&"]
                name = texts[0] if len(texts) == 1 and is_ident(texts[0]) else None
                params = self.functions[caller].params
                if name and name in params and (caller, params.index(name)) not in slots:
                    slots.add((caller, params.index(name)))
                    grew = True
                elif name and self.resolve(name, path):
                    found |= {(g, path, line) for g in self.resolve(name, path)}
                elif not (name and name in params):
                    unknown.add((" ".join(texts), path, line))
        for text, path, line in sorted(unknown, key=lambda u: (str(u[1]), u[2])):
            self.faults.append("%s: the spread job `%s` is no function's name; it cannot be followed"
                               % (self.at(path, line), text))
        return sorted(found, key=lambda j: (str(j[1]), j[2]))

    def at(self, path: Path, line: int) -> str:
        try:
            shown = path.resolve().relative_to(Path.cwd().resolve())
        except ValueError:
            shown = path
        return "%s:%d" % (shown, line)

    def judge(self) -> list[str]:
        step = self.ending()
        faults = self.faults
        for f in sorted(self.functions.values(), key=lambda f: (str(f.where()[0]), f.where()[1])):
            marked = MAY in f.marks or ALWAYS in f.marks
            if f.key in step and not marked and f.defined:
                path, line = f.where()
                faults.append("%s: %s can end the run but carries no MAY_END_RUN: %s"
                              % (self.at(path, line), f.name, self.chain(f.key, step)))
            for mark in (MAY, ALWAYS):
                if mark in f.marks and not f.defined:
                    faults.append("%s: %s stands on %s, which src/ does not define"
                                  % (self.at(*f.marks[mark]), mark, f.name))
                elif mark in f.marks and f.key not in step:
                    faults.append("%s: %s stands on %s, which cannot end the run (a stale mark)"
                                  % (self.at(*f.marks[mark]), mark, f.name))
            if NEVER in f.marks and f.key in step:
                faults.append("%s: the NEVER_ENDS_RUN function %s can end the run: %s"
                              % (self.at(*f.marks[NEVER]), f.name, self.chain(f.key, step)))
            if NEVER in f.marks and not f.defined:
                faults.append("%s: NEVER_ENDS_RUN stands on %s, which src/ does not define"
                              % (self.at(*f.marks[NEVER]), f.name))
        self.job_list = self.jobs()
        for key, path, line in self.job_list:
            if key in step:
                faults.append("%s: the spread job %s can end the run: %s"
                              % (self.at(path, line), self.functions[key].name, self.chain(key, step)))
        return faults


def main(argv: list[str]) -> int:
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parents[2] / "src"
    graph = Graph(src)
    faults = graph.judge()
    step = graph.ending()
    defined = [f for f in graph.functions.values() if f.defined]
    for line in faults:
        print("failure contract: " + line)
    print("failure contract: %d functions, %d may end the run, %d spread jobs, %d that never end it: %s" % (
        len(defined), sum(1 for f in defined if f.key in step), len({j[0] for j in graph.job_list}),
        sum(1 for f in defined if NEVER in f.marks), "%d faults" % len(faults) if faults else "holds"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
