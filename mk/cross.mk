# Other architectures' Linux: the core and its C++ tests (golden pulls included) cross-built with
# Debian's g++-<triple>, linked statically and run under qemu through CTest. 32-bit ARM hard
# float (arm-test), 64-bit ARM (aarch64-test) and 64-bit IBM Z, big-endian (s390x-test). And the
# 32-bit machines' word arithmetic natively (narrow-test): KORVANE_NARROW_WORDS takes those paths
# on this machine, so that the whole suite proves them without an emulator.
.PHONY: arm-test aarch64-test s390x-test narrow-test
CHECKS += arm-test aarch64-test s390x-test narrow-test

narrow-test: deps
	cmake -S . -B $(BUILD)/narrow -DCMAKE_BUILD_TYPE=Release -DKORVANE_NARROW_WORDS=ON \
	  -DKORVANE_BUILD_BENCHMARKS=OFF -DKORVANE_BUILD_PYTHON=OFF >/dev/null
	cmake --build $(BUILD)/narrow -j$(JOBS)
	ctest --test-dir $(BUILD)/narrow --output-on-failure -j$(JOBS) --no-tests=error

# $(call cross_test,NAME,TRIPLE): NAME-test, built in $(BUILD)/NAME.
define cross_test
$(1)-test: deps-extra
	cmake -S . -B $(BUILD)/$(1) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/$(2).cmake \
	  -DCMAKE_BUILD_TYPE=Release -DKORVANE_BUILD_BENCHMARKS=OFF -DKORVANE_BUILD_PYTHON=OFF -Wno-deprecated >/dev/null
	cmake --build $(BUILD)/$(1) -j$(JOBS)
	ctest --test-dir $(BUILD)/$(1) --output-on-failure -j$(JOBS) --no-tests=error
endef
$(eval $(call cross_test,arm,arm-linux-gnueabihf))
$(eval $(call cross_test,aarch64,aarch64-linux-gnu))
$(eval $(call cross_test,s390x,s390x-linux-gnu))
