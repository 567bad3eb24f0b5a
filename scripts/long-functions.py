#!/usr/bin/env python3
"""Lists the functions of the product longer than a limit (70 lines by default).

A function's length counts every line from the first line of its signature to its
closing brace, blank lines and comments inside included; member functions defined
in a class count as functions of their own, lambdas and local classes as part of
the function around them. Exits 1 when any function is over the limit.

    scripts/long-functions.py [--limit N] [--all] [PATH...]

PATHs default to the product's folders. --all lists every function, longest first.
"""

import argparse
import pathlib
import re
import signal
import sys

PRODUCT = ["platform", "tools", "app", "workbench", "inspector", "palette", "preview"]
SOURCES = {".cpp", ".h", ".hpp", ".cc"}


def blank_out(text):
    """The text with comments, literals and preprocessor lines made blanks; line
    breaks stay where they were, so line numbers do too."""
    out = []
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if line_start and c == "#" or (line_start and text[i:].lstrip(" \t").startswith("#")
                                       and c in " \t"):
            # A preprocessor line, with its continuations.
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append(" \n")
                    i += 2
                    continue
                out.append(" ")
                i += 1
            continue
        if c == "\n":
            out.append(c)
            line_start = True
            i += 1
            continue
        if c not in " \t":
            line_start = False
        if text.startswith("//", i):
            while i < n and text[i] != "\n":
                out.append(" ")
                i += 1
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append(re.sub(r"[^\n]", " ", text[i:end]))
            i = end
            continue
        raw = re.match(r'(?:u8|u|U|L)?R"([^(\s]*)\(', text[i:i + 40])
        if raw and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            close = ")" + raw.group(1) + '"'
            end = text.find(close, i + raw.end())
            end = n if end < 0 else end + len(close)
            out.append('""' + re.sub(r"[^\n]", " ", text[i + 2:end]))
            i = end
            continue
        if c in "\"'":
            # A digit separator (1'000) is no literal.
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum():
                out.append(" ")
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + (c if j < n else ""))
            i = j + 1
            continue
        out.append(c)
        i += 1
    return "".join(out)


TEMPLATE = re.compile(r"^\s*template\s*<")
ACCESS = re.compile(r"^\s*(public|private|protected)\s*:(?!:)")
TYPE_HEAD = re.compile(r"^\s*(typedef\s+)?(class|struct|union|enum)\b")


def strip_template(head):
    m = TEMPLATE.match(head)
    if not m:
        return head
    depth, i = 1, m.end()
    while i < len(head) and depth:
        depth += {"<": 1, ">": -1}.get(head[i], 0)
        i += 1
    return head[i:]


def kind_of(head):
    """What a brace opened after this head at namespace or class level starts."""
    body = strip_template(head)
    if re.search(r"\bnamespace\b", body) or re.match(r'^\s*extern\s*""', body):
        return "scope"
    if TYPE_HEAD.match(body) and "(" not in body:
        return "scope"
    depth = 0
    for ch in body:  # an "=" outside parentheses: an initialiser
        if ch in "(<[":
            depth += 1
        elif ch in ")>]":
            depth -= 1
        elif ch == "=" and depth <= 0:
            return "init"
    return "function" if "(" in body else "init"


def functions(path):
    text = blank_out(path.read_text(encoding="utf-8", errors="replace"))
    line_of = []
    line = 1
    for ch in text:
        line_of.append(line)
        if ch == "\n":
            line += 1
    stack = []  # kinds of the open braces
    head_start = 0
    for i, ch in enumerate(text):
        if ch == "{":
            inside_function = any(k in ("function", "init") for k, _ in stack)
            if inside_function:
                stack.append(("block", None))
            else:
                head = text[head_start:i]
                while ACCESS.match(head):
                    head = head[ACCESS.match(head).end():]
                start = i - len(head.lstrip())
                signature = re.sub(r"__attribute__\s*\(\(.*?\)\)|\[\[.*?\]\]", " ", strip_template(head))
                names = re.findall(r"([~\w:]+)\s*\(", signature)
                stack.append((kind_of(head), (line_of[start], names[0] if names else "?")))
            head_start = i + 1
        elif ch == "}":
            if stack:
                kind, info = stack.pop()
                if kind == "function":
                    first, name = info
                    yield name, first, line_of[i], line_of[i] - first + 1
            head_start = i + 1
        elif ch == ";":
            head_start = i + 1


def main():
    # Piped into head, end quietly when the reader has had enough.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--limit", type=int, default=70)
    parser.add_argument("--all", action="store_true")
    parser.add_argument("paths", nargs="*")
    args = parser.parse_args()
    root = pathlib.Path(__file__).resolve().parent.parent
    paths = [pathlib.Path(p) for p in args.paths] or [root / p for p in PRODUCT]
    found = []
    for base in paths:
        files = [base] if base.is_file() else sorted(base.rglob("*"))
        for f in files:
            if f.suffix in SOURCES and f.is_file():
                for name, first, last, length in functions(f):
                    try:
                        shown = f.resolve().relative_to(root)
                    except ValueError:
                        shown = f
                    found.append((length, f"{shown}:{first}", name))
    found.sort(key=lambda item: (-item[0], item[1]))
    over = [item for item in found if item[0] > args.limit]
    for length, where, name in found if args.all else over:
        print(f"{length:5d}  {where}  {name}")
    if not args.all:
        print(f"{len(over)} function(s) over {args.limit} lines")
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
