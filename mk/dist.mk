# The sdist and the wheels (CPython 3.12-3.15 on x86_64, 3.13-3.15 on 32-bit and 64-bit ARM,
# 3.14 and 3.15 on s390x, manylinux_2_31) in dist/ with their SHA256SUMS, and dist-check: the
# release built a second time from a clone elsewhere and compared byte for byte, a wheel per
# architecture rebuilt from the sdist alone and found identical (a tampered one refused), then each
# archive installed into a clean environment of its own interpreter (native, a Debian root entered
# with chroot, or Debian's interpreters of the other architectures under qemu) and tested there.
.PHONY: dist dist-check
CHECKS += dist-check

dist: deps-extra
	scripts/dist.sh build

dist-check: dist
	scripts/dist.sh check
	scripts/dist.sh test
