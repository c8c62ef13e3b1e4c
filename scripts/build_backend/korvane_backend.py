"""The project's build backend: scikit-build-core's, with one addition for sdists.

An sdist must carry the header-only libraries the core is compiled with (bundled/: RapidJSON and
fast_float, each with its license and version), since a user's machine may have none; Dragonbox,
only the C++ tests' oracle, is not among them (an sdist builds the module alone). A checkout has no bundled/ (it is never committed), so build_sdist copies
them from the build machine's Debian packages, builds the sdist and removes the copies again; where
that is impossible it stops with one line saying how to make the sdist. Any PEP 517 front end
(`python -m build --sdist`, `make dist`) therefore writes the same, complete sdist.
Builds of wheels are scikit-build-core's own.
"""

from __future__ import annotations

import re
import shutil
import subprocess
import sys
from pathlib import Path

from scikit_build_core.build import *  # noqa: F403  (every hook the backend offers)
from scikit_build_core.build import build_sdist as _build_sdist

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


def build_sdist(sdist_directory, config_settings=None):  # noqa: F811
    root = Path.cwd()
    bundle = root / "bundled"
    if _complete(bundle):
        return _build_sdist(sdist_directory, config_settings)
    if bundle.exists():
        _stop(f"{bundle} is incomplete (remove it)")
    try:
        _bundle(bundle)
        return _build_sdist(sdist_directory, config_settings)
    finally:
        shutil.rmtree(bundle, ignore_errors=True)
