# Windows x86-64: the core and its C++ tests (golden pulls included) built with Debian's MinGW-w64
# GCC (g++-mingw-w64-x86-64-posix), any warning an error, GoogleTest built from its sources by the
# same compiler, linked statically and run under Wine (wine64) through CTest. The maths functions
# are mingw-w64's own (log, sin, cos with the x87 unit), not the Windows C runtime's: an MSVC build
# takes the UCRT's, which nothing here runs.
.PHONY: windows-test
CHECKS += windows-test

windows-test: deps-extra
	cmake -S . -B $(BUILD)/mingw -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DKORVANE_BUILD_BENCHMARKS=OFF -DKORVANE_BUILD_PYTHON=OFF \
	  -Wno-deprecated >/dev/null
	cmake --build $(BUILD)/mingw -j$(JOBS)
	@others=$$(x86_64-w64-mingw32-objdump -p $(BUILD)/mingw/engine/korvane_tests.exe | \
	  awk '/DLL Name:/ { print $$3 }' | { grep -vixE 'kernel32\.dll|msvcrt\.dll|bcrypt\.dll' || true; } | xargs); \
	  [[ -z "$$others" ]] || { echo "korvane_tests.exe needs DLLs beyond Windows' own: $$others" >&2; exit 1; }
	ctest --test-dir $(BUILD)/mingw --output-on-failure -j$(JOBS) --no-tests=error
