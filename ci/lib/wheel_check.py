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
- the module needs a shared library other than the C library's and libgcc_s
  (which every manylinux policy allows): libstdc++ is linked in statically,
  and no other library may be bundled (auditwheel would have grafted it into a
  pwpoly.libs folder);
- the manylinux tag is not the one that the newest glibc symbol version the
  module needs calls for (manylinux_X_Y for GLIBC_X.Y): the tag must be
  proven by the module itself, not only by auditwheel's word;
- the companion package pwpoly_arrays, its native module's stubs or pwpoly's
  stubs are missing.

Prints the module's name, size, needed libraries and newest glibc symbol
version.
"""

import argparse
import io
import re
import sys
import zipfile

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

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
    "libgcc_s.so.1",
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
        failures.append(f"{expected} needs shared libraries outside the C library and libgcc_s: {', '.join(outside)}")
    newest = newest_glibc_version(elf)
    tag_versions = {tuple(map(int, p.split("_")[1:3])) for p in platforms.split(".") if manylinux.fullmatch(p)}
    if newest is None:
        failures.append(f"{expected} needs no versioned glibc symbol at all")
    elif tag_versions != {newest}:
        wanted = f"manylinux_{newest[0]}_{newest[1]}"
        failures.append(f"{name}: platform tags {platforms}, but the newest glibc symbol needed calls for {wanted}")
    newest_text = f"GLIBC_{newest[0]}.{newest[1]}" if newest else "none"
    print(f"{name}: {expected}, {len(data):,} bytes, needs {', '.join(needed)}; newest glibc symbol {newest_text}")
    return failures


def newest_glibc_version(elf):
    """The highest GLIBC_X.Y version that the module's imports require, as (X, Y)."""
    versions = set()
    for section in elf.iter_sections():
        if isinstance(section, GNUVerNeedSection):
            for _, auxiliaries in section.iter_versions():
                for aux in auxiliaries:
                    match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", aux.name)
                    if match:
                        versions.add((int(match[1]), int(match[2])))
    return max(versions, default=None)


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
