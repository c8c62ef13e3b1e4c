"""Checks that every wheel and sdist given carries exactly the license texts, license metadata,
bundled headers and SOURCE (sdist) and SBOM components (wheel) of what ships, and prints what each
holds; exits non-zero naming what is missing or should not be there. With an sdist given, every
wheel's SBOM must name its commit and build time and, per library, the hash of its bundled headers:
the wheels are built from it.
    python scripts/dist-contents.py dist/*.whl dist/*.tar.gz
"""

import hashlib
import json
import sys
import tarfile
import zipfile
from email.parser import Parser
from pathlib import PurePosixPath

# Only what the module compiles in: Dragonbox is the C++ tests' oracle and ships in neither.
LICENSES = ["LICENSE", "licenses/GCC-runtime.txt", "licenses/RapidJSON.txt", "licenses/fast_float.txt"]
LIBRARIES = ["rapidjson", "fast_float"]
COMPONENTS = {"RapidJSON", "fast_float"}


def check_metadata(text, problems):
    metadata = Parser().parsestr(text)
    if metadata["Metadata-Version"] not in ("2.4", "2.5"):
        problems.append(f"Metadata-Version {metadata['Metadata-Version']}, not 2.4")
    if not (metadata["License-Expression"] or "").startswith("LicenseRef-Proprietary AND "):
        problems.append("no License-Expression covering the bundled code")
    if sorted(metadata.get_all("License-File") or []) != LICENSES:
        problems.append(f"License-File lists {metadata.get_all('License-File')}")


def headers_hash(files):
    """{path under include/: bytes} -> the SBOM's hash: SHA-256 of sha256sum's lines, sorted by path."""
    lines = "".join(f"{hashlib.sha256(files[name]).hexdigest()}  {name}\n" for name in sorted(files))
    return hashlib.sha256(lines.encode()).hexdigest()


def check_wheel(path, sdist):
    problems = []
    with zipfile.ZipFile(path) as wheel:
        names = [n for n in wheel.namelist() if not n.endswith("/")]  # auditwheel adds directories
        dist_info = next(n.split("/")[0] for n in names if n.split("/")[0].endswith(".dist-info"))
        for name in LICENSES:
            if f"{dist_info}/licenses/{name}" not in names:
                problems.append(f"no {dist_info}/licenses/{name}")
        for name in names:
            if name.startswith(f"{dist_info}/licenses/") and name[len(dist_info) + 10:] not in LICENSES:
                problems.append(f"{name} is not a license of what the wheel contains")
        check_metadata(wheel.read(f"{dist_info}/METADATA").decode(), problems)
        sboms = [n for n in names if n.startswith(f"{dist_info}/sboms/")]
        summary = []
        if not sboms:
            problems.append(f"no SBOM in {dist_info}/sboms/")
        for sbom in sboms:
            bom = json.loads(wheel.read(sbom))
            if bom.get("bomFormat") != "CycloneDX":
                problems.append(f"{sbom} is not a CycloneDX document")
            found = {c["name"]: c for c in bom.get("components", [])}
            runtime = [c for c in found.values() if c.get("bom-ref") == "cxx-runtime"]
            for name in sorted(found.keys() - COMPONENTS - {c["name"] for c in runtime}):
                problems.append(f"{sbom} lists {name}, which the module does not contain")
            for name in sorted(COMPONENTS - found.keys()):
                problems.append(f"{sbom} lists no {name}")
            if len(runtime) != 1:
                problems.append(f"{sbom} lists no C++ runtime")
            for c in found.values():
                if c.get("version", "unknown") == "unknown" or not c.get("licenses"):
                    problems.append(f"{sbom}: {c['name']} without version or license")
                linkage = {p["name"]: p["value"] for p in c.get("properties", [])}.get("korvane:linkage")
                summary.append(f"{c['name']} {c.get('version')} ({c['licenses'][0].get('expression')}; {linkage})")
            # What a verifier rebuilds it from: the commit and build time, the headers by hash.
            meta = {p["name"]: p["value"] for p in bom.get("metadata", {}).get("properties", [])}
            for key in ("korvane:source-commit", "korvane:source-date-epoch"):
                if not meta.get(key):
                    problems.append(f"{sbom} names no {key}")
            if not bom.get("metadata", {}).get("timestamp"):
                problems.append(f"{sbom} has no build time (metadata.timestamp)")
            hashes = {c["bom-ref"]: {h["alg"]: h["content"] for h in c.get("hashes", [])}.get("SHA-256")
                      for c in found.values() if c["name"] in COMPONENTS}
            for ref, digest in sorted(hashes.items()):
                if not digest:
                    problems.append(f"{sbom}: {ref} without the SHA-256 of its headers")
            if sdist:
                for key, value in (("korvane:source-commit", sdist["commit"]),
                                   ("korvane:source-date-epoch", sdist["source-date-epoch"])):
                    if meta.get(key) != value:
                        problems.append(f"{sbom}: {key} {meta.get(key)}, the sdist's is {value}")
                for ref, digest in sorted(hashes.items()):
                    if digest and digest != sdist["hashes"].get(ref):
                        problems.append(f"{sbom}: {ref}'s headers are not the sdist's bundled ones")
            # A wheel links GCC's runtime in: that is what its license text and exception are for.
            if runtime and {p["name"]: p["value"] for p in runtime[0].get("properties", [])}.get(
                    "korvane:linkage") != "static":
                problems.append(f"{sbom}: the C++ runtime is not linked statically")
        licenses = sorted(str(PurePosixPath(n).relative_to(f"{dist_info}/licenses"))
                          for n in names if n.startswith(f"{dist_info}/licenses/"))
        print(f"{PurePosixPath(path).name}: licenses/ {' '.join(licenses)}; "
              f"sboms/ {' '.join(PurePosixPath(s).name for s in sboms)}: {', '.join(summary)}")
    return problems


def check_sdist(path, found):
    problems = []
    with tarfile.open(path) as sdist:
        names = sdist.getnames()
        top = names[0].split("/")[0]
        wanted = LICENSES + [f"bundled/{lib}/{f}" for lib in LIBRARIES for f in ("copyright", "VERSION")]
        for name in wanted:
            if f"{top}/{name}" not in names:
                problems.append(f"no {top}/{name}")
        extra = sorted({n.split("/")[2] for n in names if n.startswith(f"{top}/bundled/") and n.count("/") >= 3}
                       - set(LIBRARIES))
        if extra:
            problems.append(f"bundled/ holds {', '.join(extra)}, which nothing it builds uses")
        for name in names:
            if name.startswith(f"{top}/licenses/") and name[len(top) + 1:] not in LICENSES:
                problems.append(f"{name} is not a license of what the sdist builds")
        check_metadata(sdist.extractfile(f"{top}/PKG-INFO").read().decode(), problems)
        versions = {lib: sdist.extractfile(f"{top}/bundled/{lib}/VERSION").read().decode().strip()
                    for lib in LIBRARIES if f"{top}/bundled/{lib}/VERSION" in names}
        if f"{top}/SOURCE" in names:
            for line in sdist.extractfile(f"{top}/SOURCE").read().decode().splitlines():
                key, _, value = line.partition(" ")
                found[key] = value
        for key in ("commit", "source-date-epoch"):
            if not found.get(key):
                problems.append(f"{top}/SOURCE does not give the {key}")
        found["hashes"] = {}
        for lib in LIBRARIES:
            include = f"{top}/bundled/{lib}/include/"
            found["hashes"][lib] = headers_hash({m.name[len(include):]: sdist.extractfile(m).read()
                                                 for m in sdist.getmembers()
                                                 if m.isfile() and m.name.startswith(include + lib + "/")})
    print(f"{PurePosixPath(path).name}: {' '.join(LICENSES)}; bundled "
          f"{', '.join(f'{lib} {v}' for lib, v in versions.items())}, each with its copyright; "
          f"from {found.get('commit')} at {found.get('source-date-epoch')}")
    return problems


def main(paths):
    failed = False
    sdist = {}
    # The sdist first: the wheels are compared with it.
    for path in sorted(paths, key=lambda p: p.endswith(".whl")):
        problems = check_wheel(path, sdist) if path.endswith(".whl") else check_sdist(path, sdist)
        for problem in problems:
            print(f"{PurePosixPath(path).name}: {problem}", file=sys.stderr)
        failed |= bool(problems)
    return 1 if failed or not paths else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
