#!/usr/bin/env python3
"""Lists the functions over a length and the .cpp files over a length.

    tools/measure/longfunctions.py [--function-lines 100] [--file-lines 800] [ROOT ...]

ROOT defaults to src/ of the repository. Every .cpp and .h below it is read;
a function is listed when its definition, from the line of its name to its
closing brace, spans more than --function-lines lines, and a .cpp file when it
has more than --file-lines lines. Exit status 1 when anything was listed, 0
otherwise.

How it finds functions: comments, string and character literals (raw strings
and digit separators included) and preprocessor lines are blanked first,
keeping every line in place. Then braces are matched. A brace at namespace or
class level opens a function body when the text before it (since the last
`;`, `{` or `}` at that level) holds a parenthesis and does not start with
`namespace`, `class`, `struct`, `union`, `enum` or `extern`; the body runs to
the matching brace, and everything in it (lambdas, local classes) counts
towards that function. Braces of a constructor's member initialisers
(`mA{x}` after `) :`) and of variable initialisers are skipped.

Limits of this scan (it does not parse C++):
- Code inside a macro definition is not seen (preprocessor lines are blanked),
  so a function written by a macro is not measured; nor is a function whose
  body is built from macros that open or close braces.
- Both branches of an #if are read as code: a brace that only balances with
  one branch confuses the matching from there on.
- A definition whose header holds braces other than member initialisers (a
  default argument `= {}`, a trailing return type with braces) may be taken
  for something else.
- A lambda or a braced variable initialiser at namespace level that holds
  parentheses before its brace is reported as a function, under the name of
  whatever precedes its parenthesis.
- Names are the text before the parameter list (qualified, `operator==`,
  `~Name`); template arguments of the name are kept, a macro's are not.
"""

import argparse
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))

RAW_PREFIXES = ("R", "u8R", "uR", "UR", "LR")
CONTAINER = re.compile(r"^(template\s*<.*>\s*)?((inline|export)\s+)*(namespace|class|struct|union|enum|extern)\b", re.S)
# What may follow a parameter list: cv and reference qualifiers, override,
# final, noexcept (with a simple condition) and a trailing return type.
QUALIFIERS = re.compile(r"(?:\s*(?:const\b|volatile\b|override\b|final\b|noexcept\b(?:\s*\([^()]*\))?|&&|&|->[^:{]*))*\s*")


def blank(text):
    """The text with comments, literals and preprocessor lines replaced by
    spaces (newlines kept, quotes kept around an emptied literal)."""
    out = []
    i, n = 0, len(text)
    line_start = True  # only spaces since the last newline
    run_start = -1  # where the current run of identifier characters began
    while i < n:
        c = text[i]
        if c == "\n":
            out.append(c)
            i += 1
            line_start = True
            run_start = -1
            continue
        if line_start and c == "#":
            # A preprocessor line, with its continuations.
            while i < n and text[i] != "\n":
                if text[i] == "\\" and i + 1 < n and text[i + 1] == "\n":
                    out.append(" \n")
                    i += 2
                    continue
                out.append(" ")
                i += 1
            continue
        if not c.isspace():
            line_start = False
        if c == "/" and text.startswith("//", i):
            while i < n and text[i] != "\n":
                out.append(" ")
                i += 1
            continue
        if c == "/" and text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            out.append("".join(ch if ch == "\n" else " " for ch in text[i:end]))
            i = end
            continue
        if c == '"':
            prefix = text[run_start:i] if run_start >= 0 else ""
            if prefix in RAW_PREFIXES:
                open_paren = text.find("(", i)
                delim = text[i + 1 : open_paren]
                end = text.find(")" + delim + '"', open_paren)
                end = n if end < 0 else end + len(delim) + 2
            else:
                end = i + 1
                while end < n and text[end] != '"' and text[end] != "\n":
                    end += 2 if text[end] == "\\" else 1
                end = min(end + 1, n)
            inner = "".join(ch if ch == "\n" else " " for ch in text[i + 1 : end - 1])
            out.append('"' + inner + '"')
            i = end
            run_start = -1
            continue
        if c == "'":
            if run_start >= 0 and text[run_start].isdigit():
                out.append(" ")  # a digit separator
                i += 1
                continue
            end = i + 1
            while end < n and text[end] != "'" and text[end] != "\n":
                end += 2 if text[end] == "\\" else 1
            end = min(end + 1, n)
            out.append("'" + " " * (end - i - 2) + "'")
            i = end
            run_start = -1
            continue
        if c.isalnum() or c == "_":
            if run_start < 0:
                run_start = i
        elif not (c == "." and run_start >= 0 and text[run_start].isdigit()):
            run_start = -1
        out.append(c)
        i += 1
    return "".join(out)


def matching_brace(code, at):
    """Index of the brace that closes the one at `at` (len(code) if none)."""
    depth = 0
    for i in range(at, len(code)):
        if code[i] == "{":
            depth += 1
        elif code[i] == "}":
            depth -= 1
            if depth == 0:
                return i
    return len(code)


def parameter_list(header):
    """(open, close) indexes of the header's parameter list: the first
    top-level parenthesis group followed by nothing but qualifiers, up to the
    end or a member initialiser list. None when the header has no group."""
    groups = []
    depth = 0
    for i, c in enumerate(header):
        if c == "(":
            if depth == 0:
                start = i
            depth += 1
        elif c == ")" and depth > 0:
            depth -= 1
            if depth == 0:
                groups.append((start, i))
    for group in groups:
        rest = header[group[1] + 1 :]
        after = rest[QUALIFIERS.match(rest).end() :]
        if not after or (after.startswith(":") and not after.startswith("::")):
            return group
    return groups[-1] if groups else None


def in_initialiser_list(header):
    """True when the header ends inside a constructor's member initialisers
    (the next brace is a member's, not the body's)."""
    group = parameter_list(header)
    if not group:
        return False
    rest = header[group[1] + 1 :]
    after = rest[QUALIFIERS.match(rest).end() :]
    if not after.startswith(":") or after.startswith("::"):
        return False
    return bool(re.search(r"[\w>]\s*$", after))


NAME = re.compile(
    r"((?:[\w~]+(?:<[^<>;{}]*>)?\s*::\s*)*(?:operator\s*\(\s*\)|operator\s*[^\w\s(]+|operator\s+[\w:]+(?:<[^<>;{}]*>)?\s*[*&]*|[\w~]+))\s*$"
)


def function_name(header):
    """The qualified name before the parameter list, and where that list
    opens."""
    group = parameter_list(header)
    if not group:
        return "?", 0
    match = NAME.search(header[: group[0]])
    if not match:
        return "?", group[0]
    return re.sub(r"\s*::\s*", "::", re.sub(r"\s+", " ", match.group(1))), group[0]


def long_functions(text, limit):
    """(name, first line, lines) of each function over `limit` lines."""
    code = blank(text)
    found = []
    header_start = 0
    paren_depth = 0
    i = 0
    n = len(code)
    while i < n:
        c = code[i]
        if c == "(":
            paren_depth += 1
        elif c == ")":
            paren_depth = max(paren_depth - 1, 0)
        elif c == ";" and paren_depth == 0:
            header_start = i + 1
        elif c == "}":
            header_start = i + 1  # the end of a namespace or class
        elif c == "{":
            header = code[header_start:i]
            stripped = header.strip()
            container = bool(CONTAINER.match(stripped))
            if paren_depth > 0 or (stripped and "(" not in stripped and not container):
                i = matching_brace(code, i) + 1  # a braced value
                continue
            if not stripped or container:
                header_start = i + 1  # into a namespace or class
            elif in_initialiser_list(header):
                i = matching_brace(code, i) + 1  # a member's initialiser
                continue
            else:
                end = matching_brace(code, i)
                name, open_at = function_name(header)
                first = code.count("\n", 0, header_start + open_at) + 1
                last = code.count("\n", 0, end) + 1
                if last - first + 1 > limit:
                    found.append((name, first, last - first + 1))
                i = end + 1
                header_start = i
                continue
        i += 1
    return found


def scan(roots, function_limit, file_limit):
    """Lines of the report: the long functions, then the long files."""
    functions, files = [], []
    for root in roots:
        for folder, dirs, names in os.walk(root):
            dirs.sort()
            for name in sorted(names):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                shown = os.path.relpath(path, ROOT) if path.startswith(ROOT + os.sep) else path
                for fn, line, lines in long_functions(text, function_limit):
                    functions.append(f"  {shown}:{line}  {fn}  {lines} lines")
                count = text.count("\n") + (0 if text.endswith("\n") or not text else 1)
                if name.endswith(".cpp") and count > file_limit:
                    files.append(f"  {shown}  {count} lines")
    return functions, files


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--function-lines", type=int, default=100)
    parser.add_argument("--file-lines", type=int, default=800)
    parser.add_argument("roots", nargs="*", default=[os.path.join(ROOT, "src")])
    args = parser.parse_args()
    functions, files = scan(args.roots, args.function_lines, args.file_lines)
    print(f"functions over {args.function_lines} lines: {len(functions)}")
    print("\n".join(functions) if functions else "  (none)")
    print(f".cpp files over {args.file_lines} lines: {len(files)}")
    print("\n".join(files) if files else "  (none)")
    return 1 if functions or files else 0


if __name__ == "__main__":
    sys.exit(main())
