# Entry points: make test (every suite), make demo, make bench, make fuzz.
JOBS    := 2
RESULTS := build/results
SUITE   := scripts/suite.sh run $(RESULTS)
CTEST   := ctest -j$(JOBS) --output-on-failure --no-tests=error --test-dir

.PHONY: all deps test demo bench fuzz
all: test

deps:
	@scripts/install-deps.sh

# Configure and build one preset (configuring again is cheap and picks up new files).
build-%:
	cmake --preset $*
	cmake --build --preset $* -j$(JOBS)

# Every stage runs even when an earlier one failed; the summary's last line
# adds them all up and its status is the verdict.
test: deps
	@rm -rf $(RESULTS)
	@$(SUITE) build-linux-asan    $(MAKE) --no-print-directory build-linux-asan && \
	 $(SUITE) test-linux-asan     $(CTEST) build/linux-asan || true
	@$(SUITE) build-linux-tsan    $(MAKE) --no-print-directory build-linux-tsan && \
	 $(SUITE) test-linux-tsan     $(CTEST) build/linux-tsan || true
	@$(SUITE) build-linux-release $(MAKE) --no-print-directory build-linux-release && \
	 $(SUITE) test-linux-release  $(CTEST) build/linux-release || true
	@$(SUITE) build-windows-x64   $(MAKE) --no-print-directory build-windows-x64 && \
	 { $(SUITE) test-windows-x64  $(CTEST) build/windows-x64; \
	   $(SUITE) test-wine         scripts/run-wine-tests.sh build/windows-x64; \
	   $(SUITE) test-wine-e2e     scripts/run-wine-e2e.sh build/windows-x64; } || true
	@$(SUITE) fuzz-short          scripts/run-fuzz.sh 20 || true
	@scripts/suite.sh total $(RESULTS)

# The tour of the library on the simulated bench (`ostrel demo`).
demo: deps
	cmake --preset linux-release
	cmake --build --preset linux-release -j$(JOBS) --target ostrel_tool
	cd build/linux-release && tools/ostrel/ostrel --bench ../../examples/bench.json demo

bench: deps build-linux-release
	@for b in build/linux-release/bench/ostrel_bench_*; do [ -x $$b ] || continue; echo "== $$b"; $$b || exit 1; done

# The reply-parser fuzzers (tests/fuzz, clang), five minutes each; `make test`
# runs them briefly.
FUZZ_SECONDS ?= 300
fuzz: deps
	scripts/run-fuzz.sh $(FUZZ_SECONDS)
