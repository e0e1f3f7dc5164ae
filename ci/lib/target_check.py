"""Checks, inside a sysroot's interpreter, that the run is what it claims to be.

Run by ci/foreign_pythons.sh with the interpreter under test before the test
suite:  python3.14 target_check.py --sysroot DIR --module-dir BUILD --bits 32

It fails when
- the interpreter's pointer width or sys.maxsize is not the expected one,
- ``import pwpoly`` finds another module than the one built in BUILD, or one
  built for another ABI,
- after importing numpy and pwpoly, a shared library is mapped from outside the
  sysroot and the build folder (the host's libraries must not stand in for the
  target's),
- the interpreter that PWPOLY_TEST_PYTHON starts (the one the tests' own
  subprocesses use) is not the same kind of interpreter.
"""

import argparse
import os
import platform
import shlex
import struct
import subprocess
import sys
import sysconfig


def mapped_libraries():
    paths = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and fields[5].startswith("/") and ".so" in fields[5]:
                paths.add(fields[5].strip())
    return sorted(paths)


def fingerprint():
    bits = struct.calcsize("P") * 8
    return f"{sys.version} | {platform.machine()} | {bits}-bit | {sysconfig.get_config_var('SOABI')}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sysroot", required=True)
    parser.add_argument("--module-dir", required=True)
    parser.add_argument("--bits", type=int, required=True, choices=(32, 64))
    parser.add_argument("--fingerprint-only", action="store_true")
    args = parser.parse_args()
    if args.fingerprint_only:
        print(fingerprint())
        return 0

    failures = []
    bits = struct.calcsize("P") * 8
    if bits != args.bits or sys.maxsize != 2 ** (args.bits - 1) - 1:
        failures.append(f"expected a {args.bits}-bit interpreter, got {bits} bits, sys.maxsize={sys.maxsize:#x}")

    import numpy

    import pwpoly

    module_dir = os.path.realpath(args.module_dir)
    module_file = os.path.realpath(pwpoly.__file__)
    if os.path.dirname(module_file) != module_dir:
        failures.append(f"pwpoly imported from {module_file}, not from {module_dir}")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if not module_file.endswith(suffix):
        failures.append(f"{module_file} does not carry this interpreter's suffix {suffix}")

    allowed = (os.path.realpath(args.sysroot) + os.sep, module_dir + os.sep)
    foreign = [p for p in mapped_libraries() if not os.path.realpath(p).startswith(allowed)]
    if foreign:
        failures.append("libraries mapped from outside the sysroot: " + ", ".join(foreign))

    launcher = os.environ.get("PWPOLY_TEST_PYTHON")
    if not launcher:
        failures.append("PWPOLY_TEST_PYTHON is not set")
    else:
        child = subprocess.run(
            shlex.split(launcher)
            + [
                __file__,
                "--sysroot",
                args.sysroot,
                "--module-dir",
                args.module_dir,
                "--bits",
                str(args.bits),
                "--fingerprint-only",
            ],
            capture_output=True,
            text=True,
            timeout=300,
        )
        if child.returncode != 0 or child.stdout.strip() != fingerprint():
            failures.append(
                f"PWPOLY_TEST_PYTHON starts another interpreter: {child.stdout.strip()!r} "
                f"{child.stderr.strip()!r} (exit {child.returncode})"
            )

    print(f"interpreter: {fingerprint()}")
    print(f"numpy {numpy.__version__}, pwpoly from {module_file}")
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
