# Entry points: make test (every suite), make demo, make package, make dist, make bench, make fuzz.
JOBS    := 2
RESULTS := build/results
SUITE   := scripts/suite.sh run $(RESULTS)
CTEST   := ctest -j$(JOBS) --output-on-failure --no-tests=error --test-dir
VERSION := $(shell sed -n 's/^project.Ostrel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
SDK     := dist/ostrel-$(VERSION)-win64.zip

.PHONY: all deps test demo bench fuzz package dist
all: test

# What every suite needs; demo, package and dist ask for their own part only.
deps:
	@scripts/install-deps.sh test

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
	 { $(SUITE) test-linux-release $(CTEST) build/linux-release; \
	   $(SUITE) test-install      tests/install/install_test.sh build/linux-release; } || true
	@$(SUITE) test-subproject     tests/subproject/subproject_test.sh || true
	@$(SUITE) package             $(MAKE) --no-print-directory package && \
	 { $(SUITE) test-package      tests/packaging/deb_test.sh dist; \
	   $(SUITE) test-package-root tests/packaging/sysroot_test.sh dist; } || true
	@$(SUITE) build-windows-x64   $(MAKE) --no-print-directory build-windows-x64 && \
	 { $(SUITE) test-windows-x64  $(CTEST) build/windows-x64; \
	   $(SUITE) test-wine         scripts/run-wine-tests.sh build/windows-x64; \
	   $(SUITE) test-wine-e2e     scripts/run-wine-e2e.sh build/windows-x64; \
	   $(SUITE) dist              $(MAKE) --no-print-directory dist && \
	   $(SUITE) test-sdk          tests/windows/sdk/sdk_test.sh $(SDK) build/windows-x64; } || true
	@$(SUITE) fuzz-short          scripts/run-fuzz.sh 20 || true
	@scripts/suite.sh total $(RESULTS)

# The tour of the library on the simulated bench (`ostrel demo`). It needs
# neither the tests nor the benchmarks (make test switches them on again).
demo:
	@scripts/install-deps.sh demo
	cmake --preset linux-release -DOSTREL_TESTS=OFF -DOSTREL_BENCH=OFF
	cmake --build --preset linux-release -j$(JOBS) --target ostrel_tool
	cd build/linux-release && tools/ostrel/ostrel --bench ../../examples/bench.json demo

# The Debian packages, into dist/: libostrel0, libostrel-dev, ostrel-tools
# (and python3-ostrel with the Python package), and libostrel0-dbgsym and
# ostrel-tools-dbgsym, which CPack leaves as .ddeb with a few faults.
package:
	@scripts/install-deps.sh package
	cmake --preset linux-package
	cmake --build --preset linux-package -j$(JOBS)
	rm -f build/linux-package/*.deb build/linux-package/*.ddeb dist/*.deb
	cd build/linux-package && cpack
	mkdir -p dist && cp build/linux-package/*.deb dist/
	for ddeb in build/linux-package/*.ddeb; do packaging/debian/dbgsym.sh $$ddeb dist || exit 1; done

# The Windows SDK: dist/ostrel-<version>-win64.zip.
dist:
	@scripts/install-deps.sh dist
	cmake --preset windows-x64
	cmake --build --preset windows-x64 -j$(JOBS) --target ostrel_sdk
	mkdir -p dist && rm -f dist/ostrel-*-win64.zip && cp build/windows-x64/sdk/ostrel-$(VERSION)-win64.zip $(SDK)

bench: deps build-linux-release
	@pgrep -x rpcbind >/dev/null || rpcbind -w || echo "no rpcbind: the gateway's benchmark is skipped" >&2
	@for b in build/linux-release/bench/ostrel_bench_*; do [ -x $$b ] || continue; echo "== $$b"; $$b || exit 1; done

# The reply-parser fuzzers (tests/fuzz, clang), five minutes each; `make test`
# runs them briefly.
FUZZ_SECONDS ?= 300
fuzz: deps
	scripts/run-fuzz.sh $(FUZZ_SECONDS)
