# 32-bit ARM Linux (hard float): the core and its C++ tests cross-built with Debian's
# g++-arm-linux-gnueabihf, linked statically and run under qemu-arm through CTest.
ARM_BUILD ?= $(BUILD)/arm

.PHONY: arm-test
CHECKS += arm-test

arm-test: deps-extra
	cmake -S . -B $(ARM_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/arm-linux-gnueabihf.cmake \
	  -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_BENCHMARKS=OFF -DKORVANE_BUILD_PYTHON=OFF -Wno-deprecated >/dev/null
	cmake --build $(ARM_BUILD) -j$(JOBS)
	ctest --test-dir $(ARM_BUILD) --output-on-failure -j$(JOBS) --no-tests=error
