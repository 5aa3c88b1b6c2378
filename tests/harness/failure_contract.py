#!/usr/bin/python3
"""The failure contract, checked over the product's sources.

A call of fail() does not return: it ends the run (run_end). A job handed to
spread() runs beside the worker, on threads of its own, so it must never end
the run: it returns 0 and the worker decides; nor must what runs after the
Builder has started, marked NEVER_ENDS_RUN where it is declared. This script
reads every source file below src/, finds each function's body and what it
calls or names (a function named without a call is taken as called: it is
handed on to be called, as a sink or a job is), and fails when a spread job
or a NEVER_ENDS_RUN function can reach run_end.

It reads the sources as this project writes them (clang-format's layout):
comments and literals are dropped, and a function is a name with a
parameter list followed by a body at the top level or inside a namespace.
System DLL tables (SYSTEM_DLL_DEFINE) define functions that end the run
when the DLL cannot be loaded.

Usage: failure_contract.py [<src folder>]   (exit 0: holds, 1: broken)
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ENDS = "run_end"
KEYWORDS = {"if", "for", "while", "switch", "return", "sizeof", "catch", "defined", "decltype",
            "static_assert", "alignof", "__attribute__", "__declspec"}
TOKEN = re.compile(r"""
    (?P<skip>//[^\n]*|/\*.*?\*/|^[ \t]*\#(?:[^\n]*\\\n)*[^\n]*)
  | (?P<literal>L?"(?:\\.|[^"\\\n])*"|L?'(?:\\.|[^'\\\n])*')
  | (?P<word>[A-Za-z_]\w*)
  | (?P<punct>::|->|[{}()\[\];,=<>*&.~!?:+\-/%|^])
  | (?P<space>\s+)
  | (?P<other>.)
""", re.S | re.M | re.X)
DLL_TABLE = re.compile(r"^\s*SYSTEM_DLL_DEFINE\(\s*(\w+)\s*,", re.M)


def tokens(text: str) -> list[str]:
    out = []
    for m in TOKEN.finditer(text):
        kind = m.lastgroup
        if kind in ("skip", "space"):
            continue
        out.append('""' if kind == "literal" else m.group())
    return out


class Function:
    def __init__(self, name: str, file: Path, local: bool):
        self.name, self.file, self.local = name, file, local
        self.named: list[str] = []   # every identifier of the body, in order
        self.jobs: list[str] = []    # the functions it hands to spread()


def head_name(head: list[str]) -> str | None:
    """The function name of a definition's head (the tokens before '{'), or
    None when the head is no function definition."""
    if not head or head[0] in ("struct", "class", "enum", "union", "namespace", "extern", "typedef"):
        return None
    if "(" not in head or "=" in head[: head.index("(")]:
        return None
    name = head[head.index("(") - 1]
    if not re.match(r"[A-Za-z_]\w*$", name) or name in KEYWORDS:
        return None
    return name


def spread_jobs(body: list[str]) -> list[str]:
    """The second argument of every spread(...) call of a body, when it is a name."""
    jobs = []
    for i, t in enumerate(body[:-1]):
        if t != "spread" or body[i + 1] != "(":
            continue
        depth, k = 0, i + 1
        while k < len(body):
            if body[k] in "([":
                depth += 1
            elif body[k] in ")]":
                depth -= 1
            elif body[k] == "," and depth == 1:
                if re.match(r"[A-Za-z_]\w*$", body[k + 1]) and body[k + 2] in (",", ")"):
                    jobs.append(body[k + 1])
                break
            k += 1
    return jobs


def functions_of(path: Path) -> list[Function]:
    """Every function defined in one source file. Bodies at the top level or
    inside namespaces count; a struct's or class's body is passed over."""
    toks = tokens(path.read_text(encoding="utf-8"))
    found: list[Function] = []
    # The open blocks: "ns" for a namespace (its body is scanned like the top
    # level; "anon" for an anonymous one), "other" for anything else.
    blocks: list[str] = []
    head: list[str] = []
    i = 0
    while i < len(toks):
        t = toks[i]
        if t == "}":
            if blocks:
                blocks.pop()
            head = []
        elif t == ";":
            head = []
        elif t == "{":
            name = head_name(head)
            if head[:1] == ["namespace"]:
                blocks.append("anon" if len(head) == 1 else "ns")
            elif head[:2] == ["extern", '""']:
                blocks.append("ns")
            elif name and all(b != "other" for b in blocks):
                local = "anon" in blocks or "static" in head
                f = Function(name, path, local)
                depth, k = 1, i + 1
                while k < len(toks) and depth:
                    depth += {"{": 1, "}": -1}.get(toks[k], 0)
                    k += 1
                body = toks[i + 1:k - 1]
                f.named = [b for b in body if re.match(r"[A-Za-z_]\w*$", b)]
                f.jobs = spread_jobs(body)
                found.append(f)
                i, head = k, []
                continue
            else:
                blocks.append("other")
            head = []
        else:
            head.append(t)
        i += 1
    for m in DLL_TABLE.finditer(path.read_text(encoding="utf-8")):
        f = Function(m.group(1), path, False)
        f.named = ["system_dll_need"]
        found.append(f)
    return found


def never_ending(path: Path) -> list[str]:
    """The functions a file declares or defines after NEVER_ENDS_RUN."""
    toks = tokens(path.read_text(encoding="utf-8"))
    names = []
    for i, t in enumerate(toks):
        if t == "NEVER_ENDS_RUN" and i + 1 < len(toks) and toks[i - 1] != "define":
            head = []
            for u in toks[i + 1:]:
                if u in (";", "{"):
                    break
                head.append(u)
            name = head_name(head)
            if name:
                names.append(name)
    return names


class Graph:
    def __init__(self, src: Path):
        self.functions: list[Function] = []
        self.never_ending: list[tuple[Path, str]] = []
        for path in sorted(src.rglob("*.cpp")) + sorted(src.rglob("*.h")):
            self.functions += functions_of(path)
            self.never_ending += [(path, name) for name in never_ending(path)]
        self.globals = {f.name: f for f in self.functions if not f.local}
        self.locals = {(f.file, f.name): f for f in self.functions if f.local}

    def resolve(self, name: str, file: Path) -> Function | None:
        """What a name in `file` stands for: a function of that file first."""
        return self.locals.get((file, name)) or self.globals.get(name)

    def path_to_end(self, start: Function) -> list[str] | None:
        """A chain of calls from `start` to run_end, or None."""
        seen = {id(start)}
        queue = [(start, [start.name])]
        while queue:
            f, chain = queue.pop(0)
            for name in f.named:
                if name == ENDS:
                    return chain + [ENDS]
                g = self.resolve(name, f.file)
                if g is not None and id(g) not in seen:
                    seen.add(id(g))
                    queue.append((g, chain + [g.name]))
        return None


def main(argv: list[str]) -> int:
    src = Path(argv[1]) if len(argv) > 1 else Path(__file__).resolve().parents[2] / "src"
    graph = Graph(src)
    broken = []
    jobs = sorted({(f.file, job) for f in graph.functions for job in f.jobs})
    held = [(file, name, "the spread job") for file, name in jobs] + \
           [(file, name, "the NEVER_ENDS_RUN function") for file, name in sorted(set(graph.never_ending))]
    for file, name, what in held:
        function = graph.resolve(name, file)
        if function is None:
            broken.append("%s: %s %s is not defined in the sources" % (file.name, what, name))
            continue
        chain = graph.path_to_end(function)
        if chain:
            broken.append("%s: %s %s can end the run: %s" % (file.name, what, name, " -> ".join(chain)))
    for line in broken:
        print("failure contract: " + line)
    print("failure contract: %d functions, %d spread jobs, %d that never end the run, %s" % (
        len(graph.functions), len(jobs), len(set(n for _, n in graph.never_ending)), "broken" if broken else "holds"))
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
