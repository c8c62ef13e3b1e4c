#!/usr/bin/env bash
# Makes a Debian root from the package registry. By default nothing is configured or emulated:
# a sysroot to link against, or the interpreters the wheels are tested on. --variant=buildd makes a
# configured root of the build machine's architecture with a compiler and make, entered with chroot.
#   scripts/make-root.sh [--variant=buildd] DIR ARCH SUITE PACKAGE...
# DIR is made again only when its package list changed; a half-made root is never taken for done.
set -euo pipefail

variant=extract
if [[ ${1:-} == --variant=* ]]; then
  variant=${1#--variant=}
  shift
fi
[[ $variant == extract || $variant == buildd ]] || { echo "unknown variant: $variant" >&2; exit 2; }
dir=$1 arch=$2 suite=$3
shift 3
want="$arch $suite $*"
[[ $variant == extract ]] || want="$variant $want"
stamp=$dir/.korvane-root
if [[ -f $stamp && "$(cat "$stamp")" == "$want" ]]; then
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "making $dir needs root (mmdebstrap --mode=root)" >&2
  exit 1
fi
rm -rf --one-file-system "$dir"
mkdir -p "$(dirname "$dir")"
echo "== root $dir: Debian $suite $arch ($variant) with $*"
includes=$(IFS=,; echo "$*")
# The registry is the one this machine's apt is configured with: its Debian archive (not the
# security or updates suites), as apt itself lists it.
registry=$(apt-get indextargets --format '$(SITE)' 'Label: Debian' 'Identifier: Packages' 2>/dev/null |
  head -n1)
[[ -n $registry ]] || registry=$(apt-get indextargets --format '$(SITE) $(RELEASE)' 'Identifier: Packages' \
  2>/dev/null | awk '$2 !~ /-(security|updates|backports)$/ { print $1; exit }')
[[ -n $registry ]] ||
  { echo "no Debian archive among this machine's apt sources (apt-get indextargets)" >&2; exit 1; }
# The registry serves a dated snapshot, whose Release files are past their validity; the main
# archive only (the security archive has no armhf files for the old release).
# A failed fetch from the registry is tried again, after a pause.
for try in 1 2 3; do
  mmdebstrap --mode=root --variant="$variant" --arch="$arch" --include="$includes" \
    --aptopt='Acquire::Check-Valid-Until "false"' --quiet "$suite" "$dir" \
    "deb $registry $suite main" >"$dir.log" 2>&1 && break
  rm -rf --one-file-system "$dir"
  (( try < 3 )) || { tail -n 20 "$dir.log" >&2; exit 1; }
  sleep $((try * 10))
done

if [[ $variant == extract ]]; then
  # The extract variant leaves out the merged-/usr links that the dynamic loader's paths go through.
  for d in bin sbin lib lib64; do
    [[ -e $dir/$d || ! -d $dir/usr/$d ]] || ln -s "usr/$d" "$dir/$d"
  done
  # Absolute links would lead the linker (--sysroot) and qemu-arm (-L) out of the root, into the host.
  find "$dir" -xdev -type l -lname '/*' -print0 |
    while IFS= read -r -d '' link; do
      ln -sfn --relative "$dir$(readlink "$link")" "$link"
    done
fi
echo "$want" >"$stamp"
