# The sdist and the wheels (CPython 3.12-3.15 on x86_64, 3.13-3.15 on 32-bit and 64-bit ARM,
# 3.14 and 3.15 on s390x, manylinux_2_31) in dist/, and dist-check: each installed into a clean
# environment of its own interpreter (native, a Debian root entered with chroot, or Debian's
# interpreters of the other architectures under qemu) and tested there.
.PHONY: dist dist-check
CHECKS += dist-check

dist: deps-extra
	scripts/dist.sh build

dist-check: dist
	scripts/dist.sh test
