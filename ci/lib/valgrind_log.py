"""Checks the memcheck log of ci/valgrind.sh: python3 ci/lib/valgrind_log.py LOG.

Prints the error summary and the number of error records; exits with 1 when a
record's stack passes through pwpoly (those records go to stderr). Records
that lie entirely in the interpreter are counted by kind, not failed on.
"""

import re
import sys

ERRORS = re.compile(
    r"^(Invalid (read|write|free)|Conditional jump|Use of uninitialised|Mismatched free|Syscall param"
    r"|Source and destination overlap|Argument '.*' of function .* has a fishy value"
    r"|\S.* bytes in \S+ blocks are definitely lost)"
)
FRAME = re.compile(r"\s+(at|by) 0x")


def records(lines):
    """The log's records: blocks of lines separated by an empty line."""
    current = []
    for line in lines:
        if line.strip():
            current.append(line)
        elif current:
            yield current
            current = []
    if current:
        yield current


def main(path):
    with open(path, errors="replace") as log:
        # Every line starts with "==PID== ".
        lines = [re.sub(r"^==\d+== ?", "", line) for line in log.read().splitlines()]
    ours, theirs = [], []
    for record in records(lines):
        if ERRORS.match(record[0]):
            frames = [line for line in record if FRAME.match(line)]
            (ours if any("pwpoly" in f for f in frames) else theirs).append(record)

    print("\n".join(line for line in lines if "ERROR SUMMARY" in line or "definitely lost:" in line))
    print(f"records through pwpoly: {len(ours)}; records in the interpreter alone: {len(theirs)}")
    kinds = {}
    for record in theirs:
        kinds[record[0]] = kinds.get(record[0], 0) + 1
    for kind, count in sorted(kinds.items()):
        print(f"  interpreter alone, {count} x: {kind}")
    for record in ours:
        print("\n".join(record), file=sys.stderr)
    return 1 if ours else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
