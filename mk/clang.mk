# The project built with Clang and libc++ (clang-16, libc++-16) as well as GCC and libstdc++: the
# C++ tests, with GoogleTest built from its sources by the same compiler and library (Debian's is
# built against libstdc++), then the pytest suite against an extension built the same way. Any
# compiler warning fails the build.
CLANG_BUILD ?= $(BUILD)/clang
CLANG_VENV = .venv-clang-$(PYCHECKS_V)
CLANG_ENV := CC=clang-16 CXX=clang++-16 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++

.PHONY: clang-test
CHECKS += clang-test

clang-test: deps-extra
	$(CLANG_ENV) cmake -S . -B $(CLANG_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
	  -DKORVANE_GTEST_FROM_SOURCE=ON -DKORVANE_BUILD_BENCHMARKS=OFF -DKORVANE_BUILD_PYTHON=OFF \
	  -Wno-deprecated >/dev/null
	cmake --build $(CLANG_BUILD) -j$(JOBS)
	ldd $(CLANG_BUILD)/engine/korvane_tests | grep 'libc++\.so' >/dev/null || \
	  { echo "$(CLANG_BUILD)/engine/korvane_tests is not linked with libc++" >&2; exit 1; }
	ctest --test-dir $(CLANG_BUILD) --output-on-failure -j$(JOBS) --no-tests=error
	[[ -x $(CLANG_VENV)/bin/python ]] || $(PYCHECKS_PY) -m venv $(CLANG_VENV)
	$(CLANG_VENV)/bin/python -m pip install -q --upgrade pip >/dev/null
	$(CLANG_ENV) CMAKE_BUILD_PARALLEL_LEVEL=$(JOBS) $(CLANG_VENV)/bin/python -m pip install -q \
	  -C build-dir=$(abspath $(BUILD))/py-clang/{wheel_tag} -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON \
	  ".[test]"
	@module=$$(ls $(CLANG_VENV)/lib/python$(PYCHECKS_V)/site-packages/korvane/_engine*.so); \
	  ldd "$$module" | grep 'libc++\.so' >/dev/null || { echo "$$module is not linked with libc++" >&2; exit 1; }; \
	  echo "== pytest on Python $(PYCHECKS_V) against $$module (clang-16, libc++)"
	$(CLANG_VENV)/bin/python -m pytest -q -p no:cacheprovider tests
