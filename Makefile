# Every target does its own set-up (Debian packages when root, a Python >= 3.12, a virtual environment).
SHELL := /bin/bash
.SHELLFLAGS := -euo pipefail -c
JOBS ?= 2
BUILD ?= build
PYTHONS = $(shell scripts/find-pythons.sh)
PYTHON_FIRST = $(shell scripts/find-pythons.sh --first)

.PHONY: all deps deps-extra cpp cpp-test cpp-sanitized-test py-test test check demo bench format

all: cpp

deps:
	@scripts/install-deps.sh

# The checks' tools too: valgrind, clang with libFuzzer, the cross compilers (ARM, s390x, MinGW-w64),
# qemu, Wine and mmdebstrap.
deps-extra:
	@KORVANE_EXTRA_DEPS=1 scripts/install-deps.sh

cpp: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build $(BUILD)/release -j$(JOBS)

cpp-test: cpp
	ctest --test-dir $(BUILD)/release --output-on-failure -j$(JOBS) --no-tests=error

# A second build with AddressSanitizer and UndefinedBehaviorSanitizer: any report fails the run.
cpp-sanitized-test: deps
	cmake -S . -B $(BUILD)/sanitized -DCMAKE_BUILD_TYPE=Debug -DKORVANE_SANITIZE=address,undefined \
	  -DKORVANE_BUILD_BENCHMARKS=OFF >/dev/null
	cmake --build $(BUILD)/sanitized -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD)/sanitized --output-on-failure -j$(JOBS) --no-tests=error

# The installed extension, tested under every CPython >= 3.12 on the machine, and its stub compared
# with it by mypy's stubtest (names, signatures, properties, finality).
py-test: deps
	@for py in $(PYTHONS); do \
	  v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  echo "== pytest on Python $$v ($$py)"; \
	  [[ -x .venv-$$v/bin/python ]] || $$py -m venv .venv-$$v; \
	  .venv-$$v/bin/python -m pip install -q --upgrade pip >/dev/null; \
	  .venv-$$v/bin/python -m pip install -q ".[test]"; \
	  .venv-$$v/bin/python -m pytest -q tests; \
	  echo "== stubtest of korvane._engine on Python $$v"; \
	  MYPY_CACHE_DIR=$(BUILD)/mypy-cache-$$v .venv-$$v/bin/python -m mypy.stubtest korvane._engine; \
	done

test: cpp-test cpp-sanitized-test py-test

# The reliability checks (fuzzing, sanitized pytest, valgrind, soak, 32-bit ARM); each area adds
# its targets to CHECKS in its own mk/*.mk fragment.
CHECKS :=
include $(sort $(wildcard mk/*.mk))
check: $(CHECKS)

demo: deps
	@py=$(PYTHON_FIRST); v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  [[ -x .venv-$$v/bin/python ]] || $$py -m venv .venv-$$v; \
	  .venv-$$v/bin/python -m pip install -q . ; \
	  .venv-$$v/bin/python -m korvane $(ARGS)

bench: cpp
	$(BUILD)/release/engine/korvane_bench $(BENCH_ARGS)

format:
	clang-format-16 -i $$(git ls-files '*.cpp' '*.hpp')
