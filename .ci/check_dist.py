"""Checks a source distribution and the wheel built from it against each
other and against the version written in meson.build:

    python .ci/check_dist.py SDIST WHEEL

- the version in meson.build's project() (read from the sdist) is the one in
  both file names, in the sdist's PKG-INFO and in the wheel's METADATA;
- the wheel's WHEEL file carries the tag of its file name, for this
  interpreter, and is not pure;
- the wheel installs exactly the module (built for this interpreter), its
  stub beside it, the stub package with its py.typed marker, and every file
  of the sdist's fragments_host, each installed file identical to its source
  in the sdist; nothing else besides the dist-info.

Run it with the interpreter the wheel was built for. Prints what it found and
exits 1 on the first list of problems.
"""
import email.parser
import pathlib
import re
import sys
import sysconfig
import tarfile
import zipfile

VERSION = re.compile(r"project\(\s*'fragments'[^)]*?\bversion\s*:\s*'([^']+)'")


def sdist_files(path):
    """{path inside the unpacked sdist: bytes} (regular files only)."""
    with tarfile.open(path) as tar:
        members = [m for m in tar.getmembers() if m.isfile()]
        tops = {m.name.split("/", 1)[0] for m in members}
        if len(tops) != 1:
            raise SystemExit(f"{path}: expected one top folder, found {sorted(tops)}")
        return {m.name.split("/", 1)[1]: tar.extractfile(m).read() for m in members}


def wheel_files(path):
    with zipfile.ZipFile(path) as whl:
        return {name: whl.read(name) for name in whl.namelist() if not name.endswith("/")}


def problems(sdist, wheel):
    src, whl = sdist_files(sdist), wheel_files(wheel)
    found = []

    m = VERSION.search(src.get("meson.build", b"").decode())
    if not m:
        return [f"{sdist}: no meson.build with project('fragments', version : ...)"]
    version = m.group(1)
    print(f"meson.build version: {version}")
    if pathlib.Path(sdist).name != f"fragments-{version}.tar.gz":
        found.append(f"sdist named {pathlib.Path(sdist).name}, version {version}")
    name_parts = pathlib.Path(wheel).name[:-len(".whl")].split("-")
    if name_parts[:2] != ["fragments", version]:
        found.append(f"wheel named {pathlib.Path(wheel).name}, version {version}")

    parse = email.parser.BytesParser().parsebytes
    pkg_info = parse(src.get("PKG-INFO", b""))
    info = f"fragments-{version}.dist-info"
    metadata = parse(whl.get(f"{info}/METADATA", b""))
    wheel_meta = parse(whl.get(f"{info}/WHEEL", b""))
    for what, meta in (("sdist PKG-INFO", pkg_info), ("wheel METADATA", metadata)):
        if (meta["Name"], meta["Version"]) != ("fragments", version):
            found.append(f"{what}: name {meta['Name']!r}, version {meta['Version']!r}")

    tag = "-".join(name_parts[-3:])
    interp = "cp%d%d" % sys.version_info[:2]
    print(f"wheel tag: {tag}")
    if wheel_meta.get_all("Tag") != [tag]:
        found.append(f"WHEEL tags {wheel_meta.get_all('Tag')}, file name {tag}")
    if not tag.startswith(f"{interp}-{interp}-"):
        found.append(f"tag {tag} is not for this interpreter ({interp})")
    if wheel_meta["Root-Is-Purelib"] != "false":
        found.append("WHEEL says Root-Is-Purelib: " + str(wheel_meta["Root-Is-Purelib"]))

    stub = src.get("src/fragments.pyi")
    expected = {"fragments.pyi": stub, "fragments-stubs/__init__.pyi": stub,
                "fragments-stubs/py.typed": src.get("src/py.typed")}
    expected.update({name: data for name, data in src.items()
                     if name.startswith("fragments_host/") and "/__pycache__/" not in name})
    if not any(name.startswith("fragments_host/") for name in src):
        found.append("the sdist has no fragments_host")
    installed = {name: data for name, data in whl.items() if not name.startswith(info + "/")}
    module = "fragments" + sysconfig.get_config_var("EXT_SUFFIX")
    if module not in installed:
        found.append(f"no {module} in the wheel")
    installed.pop(module, None)
    for name in sorted(expected.keys() - installed.keys()):
        found.append(f"missing from the wheel: {name}")
    for name in sorted(installed.keys() - expected.keys()):
        found.append(f"not expected in the wheel: {name}")
    for name in sorted(expected.keys() & installed.keys()):
        if expected[name] is None:
            found.append(f"{name} is in the wheel but its source is not in the sdist")
        elif installed[name] != expected[name]:
            found.append(f"{name} in the wheel differs from its source in the sdist")
    print(f"wheel files: {len(installed) + (module in whl)} installed, {len(src)} files in the sdist")
    return found


if __name__ == "__main__":
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    found = problems(sys.argv[1], sys.argv[2])
    for line in found:
        print("check_dist:", line, file=sys.stderr)
    sys.exit(1 if found else 0)
