"""Checks what a repaired pwpoly wheel holds, before anything installs it.

Run by ci/wheels.sh with the Python of its tools (auditwheel's, which has
pyelftools):

    python wheel_check.py WHEEL --python-tag cp314 --arch i686 --ext-suffix .cpython-314-i386-linux-gnu.so

It fails when
- the file name or the WHEEL metadata does not carry the tags
  PYTHON_TAG-PYTHON_TAG-manylinux_X_Y_ARCH (and only such tags), or the wheel
  claims to be pure Python;
- the wheel does not hold exactly one extension module, pwpoly<EXT_SUFFIX> at
  its top level (the suffix of the target interpreter), or that module is not
  a shared object for ARCH;
- the module needs a shared library that is not part of the C library:
  libstdc++ and libgcc are linked in statically, and no other library may be
  bundled (auditwheel would have grafted it into a pwpoly.libs folder);
- the companion package pwpoly_arrays, its native module's stubs or pwpoly's
  stubs are missing.

Prints the module's name, size and needed libraries.
"""

import argparse
import io
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

# The C library's own shared objects (glibc); everything else must be inside
# the extension module.
GLIBC_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "ld-linux.so.2",
    "ld-linux-x86-64.so.2",
}
ELF_MACHINES = {"x86_64": ("EM_X86_64", 64), "i686": ("EM_386", 32)}
REQUIRED_FILES = [
    "pwpoly.pyi",
    "pwpoly-stubs/__init__.pyi",
    "pwpoly_arrays/__init__.py",
    "pwpoly_arrays/_native.pyi",
    "pwpoly_arrays/_native_loader.py",
    "pwpoly_arrays/py.typed",
]


def check(path, python_tag, arch, ext_suffix):
    failures = []
    name = path.rsplit("/", 1)[-1]
    parts = name[: -len(".whl")].split("-") if name.endswith(".whl") else []
    if len(parts) != 5:
        return [f"{name}: not a wheel file name (name-version-python-abi-platform.whl)"]
    _, _, py, abi, platforms = parts
    manylinux = re.compile(rf"manylinux_\d+_\d+_{arch}")
    if py != python_tag or abi != python_tag:
        failures.append(f"{name}: python and ABI tags {py}-{abi}, expected {python_tag}-{python_tag}")
    if not all(manylinux.fullmatch(p) for p in platforms.split(".")):
        failures.append(f"{name}: platform tags {platforms}, expected manylinux_X_Y_{arch} only")

    with zipfile.ZipFile(path) as wheel:
        names = wheel.namelist()
        dist_info = [n for n in names if re.fullmatch(r"[^/]+\.dist-info/WHEEL", n)]
        if len(dist_info) != 1:
            return failures + [f"{name}: {len(dist_info)} .dist-info/WHEEL files"]
        metadata = wheel.read(dist_info[0]).decode()
        tags = re.findall(r"^Tag: (\S+)$", metadata, re.MULTILINE)
        if not tags or any(not re.fullmatch(rf"{python_tag}-{python_tag}-{manylinux.pattern}", t) for t in tags):
            failures.append(f"{name}: WHEEL tags {tags}")
        if not re.search(r"^Root-Is-Purelib: false$", metadata, re.MULTILINE):
            failures.append(f"{name}: WHEEL does not say Root-Is-Purelib: false")

        grafted = sorted({n.split("/", 1)[0] for n in names if n.split("/", 1)[0].endswith(".libs")})
        if grafted:
            failures.append(f"{name}: bundles shared libraries in {', '.join(grafted)}")
        missing = [f for f in REQUIRED_FILES if f not in names]
        if missing:
            failures.append(f"{name}: missing {', '.join(missing)}")

        extensions = [n for n in names if n.endswith(".so") or ".so." in n]
        expected = "pwpoly" + ext_suffix
        if extensions != [expected]:
            return failures + [f"{name}: extension modules {extensions}, expected [{expected!r}]"]
        data = wheel.read(expected)

    elf = ELFFile(io.BytesIO(data))
    machine, bits = ELF_MACHINES[arch]
    if elf["e_machine"] != machine or elf.elfclass != bits or elf["e_type"] != "ET_DYN":
        failures.append(
            f"{expected}: {elf['e_type']} {elf['e_machine']} ({elf.elfclass}-bit), not a shared object for {machine}"
        )
    needed = sorted(
        tag.needed
        for section in elf.iter_sections()
        if isinstance(section, DynamicSection)
        for tag in section.iter_tags()
        if tag.entry.d_tag == "DT_NEEDED"
    )
    outside = [lib for lib in needed if lib not in GLIBC_LIBRARIES]
    if outside:
        failures.append(f"{expected} needs shared libraries outside the C library: {', '.join(outside)}")
    print(f"{name}: {expected}, {len(data):,} bytes, needs {', '.join(needed)}")
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("wheel")
    parser.add_argument("--python-tag", required=True)
    parser.add_argument("--arch", required=True, choices=sorted(ELF_MACHINES))
    parser.add_argument("--ext-suffix", required=True)
    args = parser.parse_args()
    failures = check(args.wheel, args.python_tag, args.arch, args.ext_suffix)
    for failure in failures:
        print(f"FAILED: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
