#!/usr/bin/env python3
"""Doxygen's input filter for the headers: their plain // comments become the
reference text. The comment block that opens a header describes the file; a
block of // lines above a declaration describes it; a // comment after code
on its line (and the // lines lined up under it) describes that member. The
text is escaped so that it reads as written (backslashes, <placeholders>, #,
@, %, &), except inside `code spans` and "quotes", which Doxygen shows as
they stand."""
import re
import sys

SPECIAL = re.compile(r"([\\@<>#%&$])")


def escape(text):
    parts = re.split(r"(`[^`]*`|\"[^\"]*\")", text)
    return "".join(p if i % 2 else SPECIAL.sub(r"\\\1", p) for i, p in enumerate(parts))


def code_end(line):
    """The index of a // comment after code on the line, outside literals; -1 if none."""
    quote = None
    i = 0
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                i += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
        elif line.startswith("//", i):
            return i
        i += 1
    return -1


def main(path):
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    out = []
    i = 0
    # The opening block: the file's description.
    head = []
    while i < len(lines) and lines[i].startswith("//"):
        head.append(escape(lines[i][2:].strip()))
        i += 1
    if head:
        out.append("/** \\file")
        out.extend(" * " + h if h else " *" for h in head)
        out.append(" */")
    trailing_column = -1  # the column of the last line's trailing comment
    for line in lines[i:]:
        stripped = line.lstrip()
        if stripped.startswith("//") and not stripped.startswith("///"):
            column = len(line) - len(stripped)
            marker = "///<" if column == trailing_column else "///"
            out.append(line[:column] + marker + " " + escape(stripped[2:].strip()))
            if column != trailing_column:
                trailing_column = -1
            continue
        at = code_end(line) if "//" in line else -1
        if at > 0 and line[:at].strip() and not line[at:].startswith("///"):
            out.append(line[:at] + "///< " + escape(line[at + 2:].strip()))
            trailing_column = at
        else:
            out.append(line)
            trailing_column = -1
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main(sys.argv[1])
