"""The project's build backend: scikit-build-core's, with one addition for sdists.

An sdist must carry the header-only libraries the core is compiled with (bundled/: RapidJSON and
fast_float, each with its license and version), since a user's machine may have none; Dragonbox,
only the C++ tests' oracle, is not among them (an sdist builds the module alone). A checkout has no bundled/ (it is never committed), so build_sdist copies
them from the build machine's Debian packages, builds the sdist and removes the copies again; where
that is impossible it stops with one line saying how to make the sdist. Any PEP 517 front end
(`python -m build --sdist`, `make dist`) therefore writes the same, complete sdist.

Every archive's build time is SOURCE_DATE_EPOCH, and when that is not set, the last commit's time:
so a wheel or an sdist is one function of its source. An sdist has no git, so the backend writes
what it was made from into it, SOURCE (the commit, whether the tree differed from it, the build
time), and a build of the sdist takes its time from there; the wheel's SBOM (cmake/sbom.cmake) names
both, from the environment the backend sets (SOURCE_DATE_EPOCH, KORVANE_SOURCE_COMMIT and
KORVANE_SOURCE_MODIFIED). Builds of wheels are otherwise scikit-build-core's own.
"""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from scikit_build_core.build import *  # noqa: F403  (every hook the backend offers)
from scikit_build_core.build import build_sdist as _build_sdist
from scikit_build_core.build import build_wheel as _build_wheel
from scikit_build_core.build import build_editable as _build_editable

# Directory in bundled/, Debian package, a header that proves the package's include directory.
BUNDLED = (
    ("rapidjson", "rapidjson-dev", "rapidjson/reader.h"),
    ("fast_float", "libfast-float-dev", "fast_float/fast_float.h"),
)
PACKAGES = " ".join(package for _, package, _ in BUNDLED)
HOW = (
    f"on Debian or Ubuntu with {PACKAGES} installed, or from a directory that holds a complete bundled/"
)


def _stop(reason: str) -> None:
    sys.exit(f"korvane: cannot make the sdist: {reason}; an sdist is made {HOW} (make dist does both)")


def _complete(bundle: Path) -> bool:
    return all(
        (bundle / lib / "include" / header).is_file()
        and (bundle / lib / "copyright").is_file()
        and (bundle / lib / "VERSION").is_file()
        for lib, _, header in BUNDLED
    )


def _upstream(debian_version: str) -> str:
    """1.1.0+dfsg2-7.1 -> 1.1.0: no epoch, no Debian revision, no repack suffix."""
    version = debian_version.split(":", 1)[-1].rsplit("-", 1)[0]
    return re.split(r"[+~]", version, maxsplit=1)[0]


def _query(*args: str) -> str:
    try:
        return subprocess.run(args, check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return ""


def _bundle(bundle: Path) -> None:
    """The libraries' include directories, licenses and versions, from Debian's packages."""
    readme = [
        "Header-only libraries for builds that find none installed, copied by the build backend",
        "(scripts/build_backend) from these Debian packages; each directory holds the package's",
        "license as copyright and the library's version as VERSION:",
    ]
    found = []
    for lib, package, header in BUNDLED:
        version = _query("dpkg-query", "-W", "-f=${Version}", package)
        files = _query("dpkg", "-L", package).splitlines()
        headers = sorted(f for f in files if re.search(rf"/include/(.*/)?{re.escape(header)}$", f))
        copyright_file = Path(f"/usr/share/doc/{package}/copyright")
        if not version or not headers or not copyright_file.is_file():
            _stop(f"no {header} or license from the Debian package {package}")
        found.append((lib, package, header, version, Path(headers[-1])))
    bundle.mkdir()
    for lib, package, header, version, path in found:
        include = Path(str(path)[: -len(header)])
        top = header.split("/", 1)[0]
        shutil.copytree(include / top, bundle / lib / "include" / top)
        shutil.copyfile(f"/usr/share/doc/{package}/copyright", bundle / lib / "copyright")
        (bundle / lib / "VERSION").write_text(_upstream(version) + "\n", encoding="utf-8")
        readme.append(f"  {lib}/: {package} {version}")
    (bundle / "README").write_text("\n".join(readme) + "\n", encoding="utf-8")


SOURCE_NOTE = "# What this sdist was made from, for builds without git (written by scripts/build_backend)."


def _git(root: Path, *args: str) -> str:
    return _query("git", "-C", str(root), *args).strip()


def _checkout(root: Path) -> bool:
    top = _git(root, "rev-parse", "--show-toplevel")
    return bool(top) and Path(top).resolve() == root.resolve()


def _source(root: Path) -> dict[str, str]:
    """commit, modified (yes/no) and source-date-epoch: from git when root is a checkout's top
    (an sdist unpacked inside some other repository is not that repository's commit), else from
    the sdist's SOURCE; SOURCE_DATE_EPOCH, when set, is the build time in either case."""
    found: dict[str, str] = {}
    if _checkout(root):
        found["commit"] = _git(root, "rev-parse", "HEAD")
        # The sdist takes every file git does not ignore, so an untracked one changes it too.
        found["modified"] = "yes" if _git(root, "status", "--porcelain") else "no"
        found["source-date-epoch"] = _git(root, "log", "-1", "--format=%ct")
    elif (root / "SOURCE").is_file():
        for line in (root / "SOURCE").read_text(encoding="utf-8").splitlines():
            key, _, value = line.partition(" ")
            if key in ("commit", "modified", "source-date-epoch") and value:
                found[key] = value.strip()
    epoch = os.environ.get("SOURCE_DATE_EPOCH", "").strip()
    if epoch:
        if not epoch.isdigit():
            sys.exit(f"korvane: SOURCE_DATE_EPOCH is {epoch!r}, not a time in whole seconds")
        found["source-date-epoch"] = epoch
    return {k: v for k, v in found.items() if v}


def _environment(source: dict[str, str]) -> None:
    """The build time and the commit, for scikit-build-core's archives and for CMake's SBOM."""
    if "source-date-epoch" in source:
        os.environ["SOURCE_DATE_EPOCH"] = source["source-date-epoch"]
    if "commit" in source:
        os.environ["KORVANE_SOURCE_COMMIT"] = source["commit"]
        os.environ["KORVANE_SOURCE_MODIFIED"] = source.get("modified", "no")


def build_sdist(sdist_directory, config_settings=None):  # noqa: F811
    root = Path.cwd()
    bundle = root / "bundled"
    source = _source(root)
    _environment(source)
    record = root / "SOURCE"
    made = []
    try:
        if not _complete(bundle):
            if bundle.exists():
                _stop(f"{bundle} is incomplete (remove it)")
            made.append(bundle)
            _bundle(bundle)
        if _checkout(root) or not record.is_file():
            made.append(record)
        lines = [SOURCE_NOTE] + [f"{k} {source[k]}" for k in ("commit", "modified", "source-date-epoch") if k in source]
        record.write_text("\n".join(lines) + "\n", encoding="utf-8")
        return _build_sdist(sdist_directory, config_settings)
    finally:
        for path in made:
            if path.is_dir():
                shutil.rmtree(path, ignore_errors=True)
            else:
                path.unlink(missing_ok=True)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):  # noqa: F811
    _environment(_source(Path.cwd()))
    return _build_wheel(wheel_directory, config_settings, metadata_directory)


def build_editable(wheel_directory, config_settings=None, metadata_directory=None):  # noqa: F811
    _environment(_source(Path.cwd()))
    return _build_editable(wheel_directory, config_settings, metadata_directory)
