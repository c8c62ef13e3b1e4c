"""Guest instruction counts of 32-bit ARM runs under qemu-arm, the emulated counterpart of callgrind.

The counting plugin (insn_count.c beside this file) is compiled on first use. A run under it yields
each translated block's address, length and executions; the guest's own /proc/self/maps, written
at the end of the same run, places every block in a mapped file, and that file's symbols (an
unstripped module's full table, a library's dynamic one) name the function it starts in.
"""

from __future__ import annotations

import bisect
import os
import shutil
import struct
import subprocess
import tempfile
import zipfile
from collections import Counter
from pathlib import Path

from workloads import BENCH_DIR, counting_script

PLUGIN_SOURCE = BENCH_DIR / "insn_count.c"
TOOLS_DIR = BENCH_DIR.parent / "build" / "bench-tools"
NM = "arm-linux-gnueabihf-nm"
READELF = "arm-linux-gnueabihf-readelf"


def plugin() -> Path:
    """The counting plugin, compiled again whenever its source is newer."""
    built = TOOLS_DIR / "insn_count.so"
    if not built.exists() or built.stat().st_mtime < PLUGIN_SOURCE.stat().st_mtime:
        TOOLS_DIR.mkdir(parents=True, exist_ok=True)
        subprocess.run([os.environ.get("CC", "cc"), "-shared", "-fPIC", "-O2", "-o", str(built),
                        str(PLUGIN_SOURCE)], check=True)
    return built


def package_dir(arm_module: str, scratch: Path) -> Path:
    """A directory to put on the guest's sys.path: the one given, or a wheel unpacked into scratch."""
    if arm_module.endswith(".whl"):
        target = scratch / "wheel"
        with zipfile.ZipFile(arm_module) as wheel:
            wheel.extractall(target)
        return target
    return Path(arm_module).resolve()


class GuestRun:
    """One program run under qemu-arm with the counting plugin: its blocks and its memory map."""

    def __init__(self, root: Path, argv: list[str], env: dict[str, str], maps_file: Path):
        with tempfile.TemporaryDirectory() as tmp:
            out = Path(tmp) / "blocks.txt"
            subprocess.run(["qemu-arm", "-L", str(root), "-plugin", f"{plugin()},out={out}", *argv],
                           check=True, stdout=subprocess.DEVNULL, env=env)
            self.blocks: list[tuple[int, int, int]] = []  # address, instructions, executions
            self.total = 0
            for line in out.read_text().splitlines():
                fields = line.split()
                if fields[0] == "total":
                    self.total = int(fields[1])
                else:
                    self.blocks.append((int(fields[0], 16), int(fields[1]), int(fields[2])))
        # Executable mappings: start, end, offset in file, file.
        self.maps: list[tuple[int, int, int, str]] = []
        for line in maps_file.read_text().splitlines():
            fields = line.split(maxsplit=5)
            if len(fields) == 6 and "x" in fields[1] and fields[5].startswith("/"):
                start, end = (int(x, 16) for x in fields[0].split("-"))
                self.maps.append((start, end, int(fields[2], 16), fields[5]))


def _first_load_address(path: str) -> int:
    """The link-time address of an ELF32 file's first loadable segment (0 for a shared object)."""
    with open(path, "rb") as f:
        header = f.read(52)
        phoff, = struct.unpack_from("<I", header, 28)
        phentsize, phnum = struct.unpack_from("<HH", header, 42)
        f.seek(phoff)
        table = f.read(phentsize * phnum)
    for k in range(phnum):
        p_type, _, p_vaddr = struct.unpack_from("<III", table, k * phentsize)
        if p_type == 1:
            return p_vaddr
    return 0


class Symbols:
    """Function start addresses of one ELF file (its full table, else its dynamic one)."""

    def __init__(self, path: str):
        self.starts: list[int] = []
        self.names: list[str] = []
        entries = []
        for dynamic in ([], ["-D"]):
            done = subprocess.run([NM, "-C", "--defined-only", *dynamic, path],
                                  capture_output=True, text=True)
            for line in done.stdout.splitlines():
                fields = line.split(maxsplit=2)
                if len(fields) == 3 and fields[1] in "tTwWi":
                    entries.append((int(fields[0], 16) & ~1, fields[2]))  # Thumb bit off
            if entries:
                break
        for address, name in sorted(entries):
            self.starts.append(address)
            self.names.append(name)
        # Calls into other files go through the .plt stubs, which have no symbols of their own.
        self.plt = (0, 0)
        sections = subprocess.run([READELF, "-SW", path], capture_output=True, text=True).stdout
        for line in sections.splitlines():
            fields = line.replace("[ ", "[").split()
            if len(fields) > 5 and fields[1] == ".plt":
                start, size = int(fields[3], 16), int(fields[5], 16)
                self.plt = (start, start + size)

    def name_of(self, address: int) -> str:
        if self.plt[0] <= address < self.plt[1]:
            return "(calls to other files: .plt)"
        k = bisect.bisect_right(self.starts, address) - 1
        return self.names[k] if k >= 0 else "?"


_symbols: dict[str, Symbols] = {}


def by_function(run: GuestRun) -> Counter:
    """Instructions per (file, function) of one run; blocks outside every mapped file count as '?'."""
    counts: Counter = Counter()
    maps = sorted(run.maps)
    starts = [m[0] for m in maps]
    # The address each file's first byte is mapped at.
    base = {path: start - offset for start, _, offset, path in maps}
    for address, insns, executions in run.blocks:
        k = bisect.bisect_right(starts, address) - 1
        if k < 0 or address >= maps[k][1]:
            counts[("?", "?")] += insns * executions
            continue
        path = maps[k][3]
        if path not in _symbols:
            _symbols[path] = Symbols(path)
        link = address - base[path] + _first_load_address(path)
        counts[(os.path.basename(path), _symbols[path].name_of(link))] += insns * executions
    return counts


def guest_env(package: Path, extra_path: Path | None = None) -> dict[str, str]:
    path = str(package) + (os.pathsep + str(extra_path) if extra_path else "")
    return {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8", "PYTHONHASHSEED": "0",
            "PYTHONPATH": path, "PYTHONDONTWRITEBYTECODE": "1"}


def instructions_per_call(root: Path, package: Path, setup: str, call: str, n1: int, n2: int,
                          profile: bool = False) -> tuple[float, list[tuple[str, str, float]]]:
    """As workloads.instructions_per_call, for the root's python3.13 under qemu-arm; with profile,
    also the instructions per call of every function that takes any, largest first."""
    runs = []
    with tempfile.TemporaryDirectory() as tmp:
        maps_file = Path(tmp) / "maps"
        script = counting_script(setup, call,
                                 "with open('/proc/self/maps') as f: maps = f.read()\n"
                                 f"with open({str(maps_file)!r}, 'w') as f: f.write(maps)\n")
        python = str(root / "usr/bin/python3.13")
        for n in (n1, n2):
            runs.append(GuestRun(root, [python, "-c", script, str(n)],
                                 guest_env(package, BENCH_DIR), maps_file))
    per_call = (runs[1].total - runs[0].total) / (n2 - n1)
    rows = []
    if profile:
        first, second = by_function(runs[0]), by_function(runs[1])
        for key in set(first) | set(second):
            share = (second[key] - first[key]) / (n2 - n1)
            if share >= 0.5:
                rows.append((key[0], key[1], share))
        rows.sort(key=lambda r: -r[2])
    return per_call, rows


def print_profile(rows: list[tuple[str, str, float]], per_call: float, limit: int = 25) -> None:
    for file, function, share in rows[:limit]:
        print(f"      {share:>12,.1f} {100 * share / per_call:>5.1f}%  {file}: {function[:90]}")


def is_libgcc_helper(file: str, function: str) -> bool:
    """Integer division, 64-bit shifts and counts, conversions and soft-float steps of libgcc."""
    if file.startswith("libgcc"):
        return True
    return function.startswith(("__aeabi_", "__udiv", "__div", "__mod", "__umod", "__float",
                                "__fix", "__ctz", "__clz"))


def check_tools(root: Path) -> None:
    for tool in ("qemu-arm", NM):
        if not shutil.which(tool):
            raise SystemExit(f"{tool} is needed for the armv7l figures")
    if not (root / "usr/bin/python3.13").exists():
        raise SystemExit(f"no usr/bin/python3.13 in {root}: make it with scripts/make-root.sh "
                         "(as scripts/dist.sh does for trixie-armhf)")
