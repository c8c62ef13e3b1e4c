# Checks of the extension inside the interpreter: pytest on a sanitized build, valgrind over the
# C++ tests, and the long soak of one engine. Each has its own venv and build dir, for `make -j`.
.PHONY: py-sanitized-test valgrind-test soak-test
CHECKS += py-sanitized-test valgrind-test soak-test

# Looked up once, on first use, so that targets that need no Python never run the search.
PYCHECKS_PY = $(eval PYCHECKS_PY := $(PYTHON_FIRST))$(PYCHECKS_PY)
PYCHECKS_V = $(eval PYCHECKS_V := $(shell $(PYCHECKS_PY) -c \
  'import sys; print("%d.%d" % sys.version_info[:2])'))$(PYCHECKS_V)
PYCHECKS_ASAN_VENV = .venv-asan-$(PYCHECKS_V)
PYCHECKS_SANITIZED_OPTIONS := -C cmake.build-type=Debug \
  -C cmake.define.KORVANE_SANITIZE=address,undefined

# $(call pychecks_install,VENV,BUILD_DIR,PIP_OPTIONS): the package and its test extras into VENV.
define pychecks_install
[[ -x $(1)/bin/python ]] || $(PYCHECKS_PY) -m venv $(1)
$(1)/bin/python -m pip install -q --upgrade pip >/dev/null
$(1)/bin/python -m pip install -q -C build-dir=$(abspath $(2))/{wheel_tag} $(3) ".[test]"
endef

# The interpreter is not instrumented, so the runtimes the module links are preloaded; it leaks by
# design, hence no leak check. PYTHONMALLOC=malloc puts Python objects under ASan's eye too, and
# --capture=sys lets a report written to file descriptor 2 reach the log before the process dies.
py-sanitized-test: deps
	$(call pychecks_install,$(PYCHECKS_ASAN_VENV),$(BUILD)/py-sanitized,$(PYCHECKS_SANITIZED_OPTIONS))
	@module=$$(ls $(PYCHECKS_ASAN_VENV)/lib/python$(PYCHECKS_V)/site-packages/korvane/_engine*.so); \
	  asan=$$(ldd "$$module" | awk '/libasan\.so/ { print $$3 }'); \
	  ubsan=$$(ldd "$$module" | awk '/libubsan\.so/ { print $$3 }'); \
	  [[ -n "$$asan" && -n "$$ubsan" ]] || \
	    { echo "$$module is not linked with the sanitizer runtimes" >&2; exit 1; }; \
	  runtimes="$$asan $$ubsan"; \
	  echo "== sanitized pytest on Python $(PYCHECKS_V), preloading $$runtimes"; \
	  LD_PRELOAD="$$runtimes" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:detect_stack_use_after_return=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(PYCHECKS_ASAN_VENV)/bin/python -m pytest -q -p no:cacheprovider --capture=sys tests

# Memcheck over the release test binary: any error, or a definite or indirect leak, fails the run.
valgrind-test: deps-extra cpp
	valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
	  --errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect \
	  --track-origins=yes -q $(BUILD)/release/engine/korvane_tests --gtest_brief=1

# Counts: KORVANE_SOAK_PULLS, KORVANE_SOAK_REFRESHES and KORVANE_SOAK_ROUNDS in the environment.
soak-test: deps
	$(call pychecks_install,.venv-soak-$(PYCHECKS_V),$(BUILD)/py-soak,)
	.venv-soak-$(PYCHECKS_V)/bin/python -m pytest -q -p no:cacheprovider -m soak tests/test_soak.py
