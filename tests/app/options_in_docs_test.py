#!/usr/bin/env python3
"""Every option a program accepts has a row of its own in the documentation:
each option that PROGRAM --help lists (for both programs) must start a row
of a table in docs/commandline.md, as `--option ...` in the row's first cell.

Usage: options_in_docs_test.py DOC PROGRAM..."""

import re
import subprocess
import sys

DOC, PROGRAMS = sys.argv[1], sys.argv[2:]

# An option as --help lists it: a line that starts (after the indent) with
# one or more names, "-h,--help" or "--rate INTERVAL_MS,BYTES_PER_S".
OPTION_LINE = re.compile(r"^\s+(-{1,2}[A-Za-z][\w-]*(?:\s*,\s*-{1,2}[A-Za-z][\w-]*)*)")
NAME = re.compile(r"-{1,2}[A-Za-z][\w-]*")

# Options every program has: if --help stops listing these in a form the
# pattern above reads, the check must fail, not pass on an empty list.
ANCHORS = ["--help", "--version", "--rate", "--config"]


def listed_options(program):
    help_text = subprocess.run([program, "--help"], capture_output=True, text=True, timeout=60,
                               env={"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"})
    if help_text.returncode != 0:
        sys.exit(f"{program} --help ended with {help_text.returncode}: {help_text.stderr.strip()}")
    options = []
    for line in help_text.stdout.splitlines():
        match = OPTION_LINE.match(line)
        if match:
            options += [name for name in NAME.findall(match.group(1)) if name not in options]
    return options


def documented(doc_text):
    """The options that start a code span in the first cell of a table row."""
    names = set()
    for line in doc_text.splitlines():
        if not line.startswith("|"):
            continue
        first_cell = line.split("|")[1]
        for span in re.findall(r"`([^`]*)`", first_cell):
            match = NAME.match(span)
            if match:
                names.add(match.group(0))
    return names


with open(DOC, encoding="utf-8") as f:
    rows = documented(f.read())

failures = []
for program in PROGRAMS:
    options = listed_options(program)
    failures += [f"{program} --help lists no {anchor}: the check cannot read its options"
                 for anchor in ANCHORS if anchor not in options]
    failures += [f"{DOC} has no row for {option} (of {program.rsplit('/', 1)[-1]})"
                 for option in options if option not in rows]
    print(f"{program.rsplit('/', 1)[-1]}: {len(options)} options")

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("every option the programs list has a row in", DOC)
