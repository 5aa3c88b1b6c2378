#!/usr/bin/python3
"""Function lengths, checked over the product's and the release tool's sources.

A function's length is its lines from the first line of its signature to its
closing brace, both counted. The sources are read crudely but soundly:
comments, string and character literals and preprocessor lines are dropped
(their line ends kept), and a function is a body whose head, at the top level
or inside a namespace, an extern block or a struct or class, ends in a
parameter list (with its qualifiers, a trailing return type or a
constructor's initializers). Lambdas and local blocks count as lines of the
function they are in.

Prints the longest few; fails when one is longer than the limit.

Usage: function_lengths.py [--limit N] [--show N] <folder>...   (exit 0: holds, 1: too long)
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

LIMIT = 60
SUFFIXES = {".cpp", ".h"}
DROPPED = re.compile(r"""
    //[^\n]*
  | /\*.*?\*/
  | ^[ \t]*\#(?:[^\n]*\\\n)*[^\n]*
  | [LuU]?R"(?P<delim>[^(\s]*)\(.*?\)(?P=delim)"
  | (?:u8|[LuU])?"(?:\\.|[^"\\\n])*"
  | (?:u8|[LuU])?'(?:\\.|[^'\\\n])*'
""", re.S | re.M | re.X)
# The end of a function's head: the parameter list, then qualifiers, a
# trailing return type or a constructor's initializer list.
FUNCTION_HEAD = re.compile(r"""
    \)\s*(?:const\b|noexcept\b|override\b|final\b|mutable\b|&&?|\s)*
    (?:->\s*[\w:<>,*&\s]+|:\s*[\w:]+\s*[({].*)?$
""", re.S | re.X)
ACCESS = re.compile(r"^\s*(?:public|private|protected)\s*:(?!:)")
TYPE_HEAD = re.compile(r"\b(?:struct|class|union|enum)\b")
NAME = re.compile(r"(~?[A-Za-z_]\w*(?:\s*::\s*~?[A-Za-z_]\w*)*|operator\s*\S+?)\s*\($")


def blanked(text: str) -> str:
    """The text with comments, literals and preprocessor lines as blanks (line ends kept)."""
    def blank(m: re.Match) -> str:
        s = m.group()
        if s.startswith(('"', "'")) or s[:1] in "LuUR" and ('"' in s[:4] or "'" in s[:3]):
            quote = '"' if '"' in s else "'"
            return quote + re.sub(r"[^\n]", " ", s[s.index(quote) + 1:-1]) + quote
        return re.sub(r"[^\n]", " ", s)
    return DROPPED.sub(blank, text)


def function_name(head: str) -> str:
    op = re.search(r"\boperator\s*(\(\s*\)|[^\s(]+)", head)
    if op:
        return "operator" + re.sub(r"\s+", "", op.group(1))
    before = head[:head.index("(")] + "(" if "(" in head else head
    m = NAME.search(before.rstrip())
    return re.sub(r"\s+", "", m.group(1)) if m else "?"


def kind_of(head: str) -> str:
    """What a '{' at declaration level opens: a function, a scope whose members are
    declarations (a namespace, an extern block, a type), or anything else (an
    initializer, a lambda kept in a variable)."""
    h = ACCESS.sub("", head).strip()
    if re.match(r"(?:inline\s+)?namespace\b", h) or re.fullmatch(r'extern\s*"\s*"', h):
        return "scope"
    if "(" not in h:
        return "scope" if TYPE_HEAD.search(h) and "=" not in h else "other"
    if re.search(r"\)\s*:(?!:)", h) and re.search(r"[\w>]$", h):
        return "initializer"  # a member's braces in a constructor's initializer list
    if FUNCTION_HEAD.search(h) and not re.search(r"=\s*\[", h):
        return "function"
    return "other"


def functions(path: Path) -> list[tuple[int, int, str]]:
    """(first line, length, name) of every function defined in the file."""
    text = blanked(path.read_text(encoding="utf-8", errors="replace"))
    found = []
    stack: list[str] = []      # the kinds of the open braces at declaration level
    head_start = 0             # where the text since the last ';', '{' or '}' starts
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if c == ";" or c == "}":
            if c == "}" and stack:
                stack.pop()
            head_start = i + 1
        elif c == "{":
            head = text[head_start:i]
            kind = kind_of(head)
            if kind == "scope":
                stack.append(kind)
            else:
                depth, j = 1, i + 1
                while j < n and depth:
                    depth += {"{": 1, "}": -1}.get(text[j], 0)
                    j += 1
                if kind == "initializer":
                    i = j
                    continue
                if kind == "function":
                    lead = len(head) - len(ACCESS.sub("", head).lstrip())
                    first = text.count("\n", 0, head_start + lead) + 1
                    last = text.count("\n", 0, j - 1) + 1
                    found.append((first, last - first + 1, function_name(ACCESS.sub("", head).strip())))
                i = j
                head_start = j
                # "struct x {...} y;" and "= {...};" end at their ';'
                continue
            head_start = i + 1
        i += 1
    return found


def main(argv: list[str]) -> int:
    limit, show, folders = LIMIT, 8, []
    args = iter(argv)
    for a in args:
        if a == "--limit":
            limit = int(next(args))
        elif a == "--show":
            show = int(next(args))
        else:
            folders.append(Path(a))
    if not folders:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    every = []
    for folder in folders:
        files = [folder] if folder.is_file() else sorted(p for p in folder.rglob("*") if p.suffix in SUFFIXES)
        for path in files:
            every += [(length, f"{path}:{line}", name) for line, length, name in functions(path)]
    every.sort(key=lambda f: (-f[0], f[1]))
    print(f"{len(every)} functions; the longest:")
    for length, where, name in every[:show]:
        print(f"  {length:4} {where} {name}")
    over = [f for f in every if f[0] > limit]
    for length, where, name in over:
        print(f"{where}: {name} is {length} lines, over {limit}", file=sys.stderr)
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
