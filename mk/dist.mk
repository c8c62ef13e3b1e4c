# The sdist and the wheels (CPython 3.12-3.15 on x86_64, 3.13-3.15 on 32-bit ARM, manylinux_2_31)
# in dist/, and dist-check: each installed into a clean environment of its own interpreter (native,
# a Debian root entered with chroot, or Debian's ARM interpreters under qemu-arm) and tested there.
.PHONY: dist dist-check
CHECKS += dist-check

dist: deps-extra
	scripts/dist.sh build

dist-check: dist
	scripts/dist.sh test
