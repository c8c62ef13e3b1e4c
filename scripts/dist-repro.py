"""The release archives' fixed form, and how two of them differ.

    python scripts/dist-repro.py normalize WHEEL        rewrites WHEEL in the release's fixed form
    python scripts/dist-repro.py compare EXPECTED GIVEN  says how GIVEN differs from EXPECTED

normalize: whatever the tools that wrote a wheel did with member order, dates, modes and
compression, the release's wheel is one function of its files' contents. Members in name order,
the .dist-info directory last and its RECORD the very last member, as installers expect; no
directory entries; every date SOURCE_DATE_EPOCH (required); mode 0644, or 0755 for a compiled
module; DEFLATE at zlib's default level; no extra fields or comments. RECORD is written
anew in that order, every hash computed from the bytes.

compare (wheels or sdists): exit 0 when GIVEN is byte for byte EXPECTED, or when every member has
the same name, type, mode and contents and only the archive's own metadata (dates, order,
compression, owners) differs; exit 1 naming each member that is missing, extra or different, the
compiled module first. The first line of output is the verdict.
"""

from __future__ import annotations

import base64
import hashlib
import os
import stat
import sys
import tarfile
import time
import zipfile
from pathlib import Path

MIN_ZIP_TIME = 315532800  # 1980-01-01, the earliest date a zip header holds


def _record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"sha256={digest}"


def _is_module(name: str) -> bool:
    """A compiled module: the one kind of member a wheel gives execute permission."""
    return name.endswith((".so", ".pyd"))


def _order(names: list[str]) -> list[str]:
    """Name order, with the .dist-info directory after everything else and RECORD last."""
    def key(name: str) -> tuple[int, str]:
        top = name.split("/", 1)[0]
        if top.endswith(".dist-info"):
            return (2, "") if name == f"{top}/RECORD" else (1, name)
        return (0, name)
    return sorted(names, key=key)


def normalize(path: Path) -> None:
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if not epoch or not epoch.isdigit():
        sys.exit("normalize: SOURCE_DATE_EPOCH must be set to the build time, in seconds")
    when = max(int(epoch), MIN_ZIP_TIME)
    date_time = time.gmtime(when)[:6]
    with zipfile.ZipFile(path) as wheel:
        members = {}
        for info in wheel.infolist():
            if info.is_dir():
                continue
            members[info.filename] = (wheel.read(info), _is_module(info.filename))
    records = [n for n in members if n.endswith(".dist-info/RECORD") and n.count("/") == 1]
    if len(records) != 1:
        sys.exit(f"normalize: {path} has {len(records)} .dist-info/RECORD files, not one")
    record = records[0]
    names = _order(list(members))
    lines = [f"{n},{_record_hash(members[n][0])},{len(members[n][0])}" for n in names if n != record]
    members[record] = (("\n".join(lines + [f"{record},,"]) + "\n").encode(), False)
    tmp = path.with_name(path.name + ".tmp")
    with zipfile.ZipFile(tmp, "w") as out:
        for name in names:
            data, executable = members[name]
            info = zipfile.ZipInfo(name, date_time=date_time)
            info.create_system = 3  # Unix, so that the mode below is read
            info.external_attr = (stat.S_IFREG | (0o755 if executable else 0o644)) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            out.writestr(info, data)
    tmp.replace(path)


def _wheel_members(path: Path) -> dict[str, tuple[str, int, bytes]]:
    with zipfile.ZipFile(path) as wheel:
        return {i.filename.rstrip("/"): ("dir" if i.is_dir() else "file", stat.S_IMODE(i.external_attr >> 16),
                                         b"" if i.is_dir() else wheel.read(i))
                for i in wheel.infolist()}


def _sdist_members(path: Path) -> dict[str, tuple[str, int, bytes]]:
    found = {}
    with tarfile.open(path) as sdist:
        for m in sdist.getmembers():
            kind = "dir" if m.isdir() else "link " + m.linkname if m.issym() or m.islnk() else "file"
            data = sdist.extractfile(m).read() if m.isfile() else b""
            found[m.name.rstrip("/")] = (kind, m.mode & 0o7777, data)
    return found


def compare(expected: Path, given: Path) -> int:
    if expected.read_bytes() == given.read_bytes():
        print(f"identical: {given.name} is byte for byte the archive rebuilt "
              f"(sha256 {hashlib.sha256(given.read_bytes()).hexdigest()})")
        return 0
    read = _wheel_members if given.name.endswith(".whl") else _sdist_members
    try:
        want, have = read(expected), read(given)
    except (zipfile.BadZipFile, tarfile.TarError, OSError, EOFError) as e:
        print(f"NOT IDENTICAL: {given.name} is not a readable archive ({e})")
        return 1
    # Directory entries are the archive's own bookkeeping: a wheel needs none.
    want = {n: m for n, m in want.items() if m[0] != "dir"} if given.name.endswith(".whl") else want
    have = {n: m for n, m in have.items() if m[0] != "dir"} if given.name.endswith(".whl") else have
    problems = []
    for name in sorted(want.keys() | have.keys(), key=lambda n: (not _is_module(n), n)):
        if name not in have:
            problems.append(f"{name} is missing")
        elif name not in want:
            problems.append(f"{name} is not in the rebuilt archive")
        elif want[name] != have[name]:
            (wk, wm, wd), (hk, hm, hd) = want[name], have[name]
            what = [w for w, differs in (("type", wk != hk), (f"mode {hm:o}, not {wm:o}", wm != hm),
                                         ("contents", wd != hd)) if differs]
            problems.append(f"{name} differs: {', '.join(what)}")
    if problems:
        print(f"NOT IDENTICAL: {given.name} differs from the archive rebuilt from the source:")
        for problem in problems:
            print(f"  {problem}")
        return 1
    modules = [n for n in have if _is_module(n)]
    print(f"identical contents: {given.name} holds every file of the rebuilt archive, "
          f"{', '.join(modules) or 'no module'} included, with the same bytes and modes; only the "
          "archive's own metadata (dates, order, compression, owners) differs")
    return 0


def main(argv: list[str]) -> int:
    if len(argv) == 2 and argv[0] == "normalize":
        normalize(Path(argv[1]))
        return 0
    if len(argv) == 3 and argv[0] == "compare":
        return compare(Path(argv[1]), Path(argv[2]))
    print("usage: dist-repro.py normalize WHEEL | compare EXPECTED GIVEN", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
