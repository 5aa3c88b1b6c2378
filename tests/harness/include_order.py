#!/usr/bin/python3
"""The order of the product's folders, checked over its sources.

The folders below src/ stand in one order, each resting only on those before
it:

    core <- base <- ui <- home <- store <- release <- install <- app

A file may include, and call or name, what its own folder and the folders to
its left offer; never what a folder to its right offers. setup.h is the
shared ground of every folder but core, which builds without Windows headers
(the fuzzers and the release tool build it natively) and includes nothing
but core headers and the C library.

It reads the sources as this project writes them: every #include "..." line
(a type or macro of a folder cannot be used without its header), and every
function or global that a folder's headers (src/<folder>/*.h) declare at
their top level, so that a declaration of its own does not hide a use. A
name that a file of a folder to the left uses, outside comments and literals
and other than as a member (after . or ->), is a use of that folder; so is a
function handed on without a call. Where the file also declares that name
for its own (a local, a parameter, a field), only a call of it counts.

Usage: include_order.py [<src folder>]   (exit 0: holds, 1: broken)
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ORDER = ["core", "base", "ui", "home", "store", "release", "install", "app"]
RANK = {folder: i for i, folder in enumerate(ORDER)}
SHARED = "setup.h"
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*([<"])([^>"]+)[>"]', re.M)
# System headers that are Windows' own, which the core must not include.
WINDOWS_HEADER = re.compile(r"^(windows|win\w*|bcrypt|commctrl|shlobj|shellapi|objbase|ole\w*|"
                            r"ntstatus|ntdef|tlhelp32|psapi|aclapi|sddl|rpc\w*|mmsystem|"
                            r"wincrypt|winternl|shlwapi|userenv|dbghelp)\.h$", re.I)
SKIP = re.compile(r"""
    //[^\n]*|/\*.*?\*/                        # comments
  | ^[ \t]*\#(?:[^\n]*\\\n)*[^\n]*             # preprocessor lines (#define bodies included)
  | L?"(?:\\.|[^"\\\n])*"|L?'(?:\\.|[^'\\\n])*' # literals
""", re.S | re.M | re.X)
WORD = re.compile(r"(->|\.|::)?\s*\b([A-Za-z_]\w*)\b")


def blank(text: str) -> str:
    """The text with comments, literals and preprocessor lines blanked, the
    line breaks kept (so that positions keep their line numbers)."""
    return SKIP.sub(lambda m: re.sub(r"[^\n]", " ", m.group()), text)


def folder_of(path: Path, src: Path) -> str | None:
    parts = path.relative_to(src).parts
    return parts[0] if len(parts) > 1 and parts[0] in RANK else None


def declared(header: Path) -> set[str]:
    """The functions and globals a header declares at its top level (a type
    or macro cannot be used without the header, which the includes tell)."""
    text = blank(header.read_text())
    names = set()
    depth = 0
    statement = ""
    for ch in text:
        if ch == "{":
            if depth == 0:
                fn = re.search(r"\b(\w+)\s*\([^()]*(?:\([^()]*\)[^()]*)*\)\s*(?:const\s*)?$", statement)
                if fn and not re.search(r"\b(?:struct|class|union|enum)\b", statement):
                    names.add(fn.group(1))  # an inline function
            statement = ""
            depth += 1
        elif ch == "}":
            depth -= 1
            statement = ""
        elif depth == 0:
            if ch == ";":
                names.update(statement_names(statement))
                statement = ""
            else:
                statement += ch
    return names


def statement_names(statement: str) -> set[str]:
    """The name a top-level declaration (up to its ';') declares."""
    s = " ".join(statement.split())
    if not s or s.startswith(("using ", "namespace ", "template")):
        return set()
    if s.startswith(("typedef ", "struct ", "class ", "union ", "enum ")) and "(" not in s:
        return set()
    if s.startswith("typedef "):
        return set()
    if "(" in s:
        head = s[: s.index("(")]
        m = re.search(r"(\w+)\s*$", head)
        if m and not re.search(r"\)\s*\(", s):  # a function, not a function pointer variable
            return {m.group(1)}
        m = re.search(r"\(\s*\*\s*(\w+)\s*\)", s)
        return {m.group(1)} if m else set()
    m = re.search(r"(\w+)\s*(?:\[[^\]]*\])*\s*(?:=.*)?$", s)
    if m and m.group(1) not in ("struct", "class", "enum", "union"):
        return {m.group(1)}
    return set()


def line_of(text: str, at: int) -> int:
    return text.count("\n", 0, at) + 1


def main(argv: list[str]) -> int:
    src = Path(argv[1] if len(argv) > 1 else "src")
    files = sorted(p for p in src.rglob("*") if p.suffix in (".cpp", ".h"))
    offered: dict[str, str] = {}  # name -> the folder whose headers declare it
    for folder in ORDER:
        for header in sorted((src / folder).glob("*.h")):
            for name in declared(header):
                # A name two folders declare belongs to the leftmost: no
                # use of it can be told to be the other's.
                offered.setdefault(name, folder)
    faults = []
    for path in files:
        rel = path
        folder = folder_of(path, src)
        raw = path.read_text()
        for m in INCLUDE.finditer(raw):
            line = line_of(raw, m.start())
            system, name = m.group(1) == "<", m.group(2)
            if system:
                if folder == "core" and WINDOWS_HEADER.match(Path(name).name):
                    faults.append(f"{rel}:{line}: the core includes the Windows header <{name}>")
                continue
            parts = Path(name).parts
            target = parts[0] if len(parts) > 1 else None
            if name == SHARED:
                if folder == "core":
                    faults.append(f"{rel}:{line}: the core includes {SHARED} (Windows headers)")
                continue
            if target is None:
                continue  # a file beside this one: its own folder
            if target not in RANK:
                faults.append(f"{rel}:{line}: includes \"{name}\" from no folder of the order")
            elif folder is None:
                faults.append(f"{rel}:{line}: the shared {path.name} includes \"{name}\"")
            elif RANK[target] > RANK[folder]:
                faults.append(f"{rel}:{line}: {folder}/ includes \"{name}\" of {target}/, to its right")
        if folder is None:
            continue
        text = blank(raw)
        # A name the file declares for its own (a local, a parameter, a
        # field) counts only where it is called.
        own = set(re.findall(r"\b[A-Za-z_]\w*[\s*&]+([A-Za-z_]\w*)\s*(?=[;=\[,)])", text))
        seen = set()
        for m in WORD.finditer(text):
            if m.group(1):
                continue  # a member, not the name a header offers
            name = m.group(2)
            target = offered.get(name)
            if target is None or RANK[target] <= RANK[folder]:
                continue
            if name in own and not re.match(r"\s*\(", text[m.end(2):]):
                continue
            line = line_of(text, m.start(2))
            if (name, line) in seen:
                continue
            seen.add((name, line))
            faults.append(f"{rel}:{line}: {folder}/ uses {name} of {target}/, to its right")
    for fault in faults:
        print(fault)
    if faults:
        print(f"include order: {len(faults)} fault(s); the order is " + " <- ".join(ORDER))
        return 1
    print(f"include order: {len(files)} files, {len(offered)} names offered; holds")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
