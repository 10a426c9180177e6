# Thin front of the CMake build. `make run` and `make test` install what is missing first.
PRESET_TEST ?= asan
export VELMOR_WERROR ?= $(if $(CI),ON,OFF)

.PHONY: all deps build run package test test-threads test-package test-debug test-fuzz bench bench-transports fuzz fuzz-build format format-check clean

all: build

deps:
	@scripts/install-deps.sh

# What `make run` needs: the server and its tools, not the tests and benchmarks.
build: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target velmorserver velmor-chat velmor-probe velmor-load

# Without a settings file beside the server, a first one for trying it (scripts/trial-settings.sh).
# In a terminal, Ctrl-C stops the server alone: `make run` ends as the server ended.
run: build
	@scripts/trial-settings.sh build/release
	@scripts/run-in-foreground.sh build/release/velmorserver

# The Debian package, in build/package/: build/package/velmorserver_<version>_<arch>.deb.
# The C client library's packages beside it: libvelmorclient0 and libvelmorclient-dev.
package: build
	cmake --build --preset release --target velmorclient
	cd build/release && cpack -G DEB -B $(CURDIR)/build/package

test: deps
	cmake --preset $(PRESET_TEST) >/dev/null
	cmake --build --preset $(PRESET_TEST)
	ctest --preset $(PRESET_TEST)
	$(MAKE) test-threads
	$(MAKE) test-fuzz
	$(MAKE) test-package

# The tests of the code shared between threads, under ThreadSanitizer: the query pipeline,
# the figures and the metrics endpoint's thread, the shutdown of the real server and its
# worker under a failing storage (the server built with the same sanitizer).
test-threads:
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan --target base_tests db_tests metrics_tests integration_tests
	ctest --preset tsan -R 'Histogram|QueryPipeline|Metrics|Durability|StopSignals|PendingQueries|StorageBusy'

# The Debian package: built, then checked (contents, lintian, systemd, the installed server);
# and `make run` in a fresh checkout.
test-package: package
	cmake --build --preset release --target package_tests firstrun_tests
	ctest --preset release -R '^(PackageTest|FirstRunTest)'

test-debug:
	$(MAKE) test PRESET_TEST=debug

# Micro-benchmarks and the load scenarios on the release build (about three minutes), the
# transports (about six), then the scale benchmark: small against large data sets (about fifteen minutes, a few GB of
# temporary files, deleted after).
bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target velmorserver velmor-load velmor_bench
	bench/run.sh
	bench/transports.sh
	bench/scale.py

# The server's cost per transport alone (tcp, ws, wss, tls; about five minutes).
bench-transports: deps
	cmake --preset release >/dev/null
	cmake --build --preset release --target velmorserver velmor-load
	bench/transports.sh

# The libFuzzer targets (clang): built, then run once over their seed corpus and no further
# (-runs=0), so that they keep building and starting. The asan tests replay the same seeds
# through the same entry points (FuzzReplay.*).
test-fuzz: fuzz-build
	build/fuzz/velmor_fuzz_protocol -runs=0 fuzz/corpus/protocol build/fuzz/fuzz-seeds/protocol
	build/fuzz/velmor_fuzz_settings -runs=0 fuzz/corpus/settings

fuzz-build: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz --target velmor_fuzz_protocol velmor_fuzz_settings

# libFuzzer over the frame loop and the settings loader; FUZZ_SECONDS each (60).
FUZZ_SECONDS ?= 60
fuzz: fuzz-build
	mkdir -p build/fuzz/corpus/protocol build/fuzz/corpus/settings
	build/fuzz/velmor_fuzz_protocol -max_total_time=$(FUZZ_SECONDS) -max_len=8192 build/fuzz/corpus/protocol fuzz/corpus/protocol build/fuzz/fuzz-seeds/protocol
	build/fuzz/velmor_fuzz_settings -max_total_time=$(FUZZ_SECONDS) build/fuzz/corpus/settings fuzz/corpus/settings

format:
	find src client tools tests bench -name '*.cpp' -o -name '*.h' | xargs clang-format -i

# Fails, naming the lines, when a C++ file of src client tools tests is not formatted as
# .clang-format has it; changes nothing (`make format` does).
format-check:
	find src client tools tests -name '*.cpp' -o -name '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf build
