# libFuzzer targets (clang-16, AddressSanitizer and UndefinedBehaviorSanitizer): the sync reader,
# the engine under a script of operations, and the engine against a plain dense computation.
# fuzz-check runs each for FUZZ_SECONDS and fails on any finding; fuzz runs them as long as asked.
# Crash inputs, logs and the growing corpora stay in $(FUZZ_BUILD), outside the repository.
FUZZ_BUILD ?= $(BUILD)/fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?= reader engine differential
# Parallel fuzzing processes per target (libFuzzer -jobs/-workers); this machine has two cores.
FUZZ_JOBS ?= 1
FUZZ_MAX_LEN_reader := 16384
FUZZ_MAX_LEN_engine := 16384
FUZZ_MAX_LEN_differential := 2048
FUZZ_DICT_reader := -dict=$(CURDIR)/engine/fuzz/sync.dict
FUZZ_DICT_engine := -dict=$(CURDIR)/engine/fuzz/sync.dict
FUZZ_DIR = $(abspath $(FUZZ_BUILD))
FUZZ_ENV := ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:suppressions=$(CURDIR)/engine/fuzz/ubsan.supp

.PHONY: fuzz-build fuzz-corpus fuzz-check fuzz
CHECKS += fuzz-check

fuzz-build: deps-extra
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_BUILD_TYPE=Release \
	  -DKORVANE_BUILD_FUZZERS=ON -DKORVANE_BUILD_TESTS=OFF -DKORVANE_BUILD_BENCHMARKS=OFF \
	  -DKORVANE_BUILD_PYTHON=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j$(JOBS) $(foreach t,$(FUZZ_TARGETS),--target korvane_fuzz_$(t))

fuzz-corpus:
	python3 scripts/fuzz-corpus.py $(FUZZ_BUILD)/seeds

# One target after another; new inputs go to $(FUZZ_BUILD)/corpus/<target>, kept between runs.
fuzz-check fuzz: fuzz-build fuzz-corpus
	@jobs=$(FUZZ_JOBS); (( jobs > 2 )) && jobs=2; \
	for t in $(FUZZ_TARGETS); do \
	  case $$t in reader) len=$(FUZZ_MAX_LEN_reader); dict="$(FUZZ_DICT_reader)";; \
	    engine) len=$(FUZZ_MAX_LEN_engine); dict="$(FUZZ_DICT_engine)";; \
	    *) len=$(FUZZ_MAX_LEN_differential); dict="";; esac; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/artifacts $(FUZZ_BUILD)/logs; \
	  log=$(FUZZ_BUILD)/logs/$$t.log; \
	  if (( jobs > 1 )); then par="-jobs=$$jobs -workers=$$jobs"; else par=""; fi; \
	  echo "== fuzz $$t for $(FUZZ_SECONDS) s (log $$log)"; \
	  status=0; \
	  ( cd $(FUZZ_BUILD)/logs && $(FUZZ_ENV) $(FUZZ_DIR)/engine/fuzz/korvane_fuzz_$$t \
	      -max_total_time=$(FUZZ_SECONDS) -max_len=$$len -timeout=10 -rss_limit_mb=2048 \
	      -print_final_stats=1 -artifact_prefix=$(FUZZ_DIR)/artifacts/$$t- \
	      $$dict $$par \
	      $(FUZZ_DIR)/corpus/$$t $(FUZZ_DIR)/seeds/$$t ) >$$log 2>&1 \
	    || status=$$?; \
	  if (( jobs > 1 )); then cat $(FUZZ_BUILD)/logs/fuzz-*.log >>$$log; rm -f $(FUZZ_BUILD)/logs/fuzz-*.log; fi; \
	  grep -E '^#[0-9]+.*(DONE|cov:)' $$log | tail -n1 || true; \
	  grep -E '^stat::(number_of_executed_units|peak_rss_mb)' $$log || true; \
	  if (( status != 0 )) || grep -qE 'FINDING|ERROR: |SUMMARY: ' $$log; then \
	    echo "fuzz $$t: FINDING (exit $$status); input in $(FUZZ_BUILD)/artifacts/, last lines of $$log:"; \
	    tail -n 40 $$log; exit 1; \
	  fi; \
	done
