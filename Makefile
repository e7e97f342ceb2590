# The two commands of the README: `make run` and `make test` (or `./make run`
# and `./make test` on a machine without make). Both install the Debian
# packages they need first (as root; otherwise they print the apt-get
# command).
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2

.PHONY: all deps build program run test bench clean test-asan fuzz install uninstall

all: build

deps:
	@./scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

# Everything: the program, tarnwickctl, the tests, the benchmarks.
build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Only what make run and make install use: the registry and tarnwickctl.
program: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target tarnwick tarnwickctl

# The registry keeps zvlt.dat and server.ini beside its executable: make run
# copies it into RUN_DIR, which make clean leaves alone (and git ignores),
# and runs it there.
RUN_DIR ?= run
run: program
	@mkdir -p $(RUN_DIR)
	@if [ -f $(BUILD)/zvlt.dat ] && [ ! -e $(RUN_DIR)/zvlt.dat ]; then \
	  echo "Moving the database of an earlier make run from $(BUILD)/ to $(RUN_DIR)/"; \
	  mv $(BUILD)/zvlt.dat $(RUN_DIR)/; \
	  if [ -f $(BUILD)/server.ini ]; then mv $(BUILD)/server.ini $(RUN_DIR)/; fi; \
	fi
	install -m 0755 $(BUILD)/tarnwick $(RUN_DIR)/tarnwick
	cd $(RUN_DIR) && ./tarnwick

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The benchmarks, about three minutes; BENCH_SECONDS=30 for steadier figures.
# The table goes to standard output, build/bench-results.json and
# BENCHMARKS.md.
BENCH_SECONDS ?= 5
bench: build
	@./scripts/install-deps --bench
	./$(BUILD)/bench/loadgen --registry $(BUILD)/tarnwick --refserver $(BUILD)/bench/refserver \
	  --seconds $(BENCH_SECONDS) --json $(BUILD)/bench-results.json --markdown BENCHMARKS.md \
	  --command "make bench BENCH_SECONDS=$(BENCH_SECONDS)"

# The unit and end-to-end tests built with AddressSanitizer and
# UndefinedBehaviorSanitizer, in a build folder of their own.
ASAN_BUILD ?= build-asan
$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_SANITIZE=ON

test-asan: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen UBSAN_OPTIONS=print_stacktrace=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --output-on-failure -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS (clang with libFuzzer), or only those
# named in FUZZ_TARGETS; prints executions and coverage per target. An input
# that fails lands in fuzz/regressions/TARGET, replayed by the tests from
# then on.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
$(FUZZ_BUILD)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON

fuzz:
	./scripts/install-deps --dev
	$(MAKE) $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	./fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# The service set-up of the README (as root): the user kestrune, the program
# in INSTALL_DIR, the unit, the D-Bus policy, the desktop file and the icon.
# DESTDIR=folder stages it all under that folder instead.
INSTALL_DIR ?= /srv/registry
install: program
	BUILD=$(BUILD) INSTALL_DIR=$(INSTALL_DIR) DESTDIR=$(DESTDIR) ./scripts/install-service install

# Removes what make install installed; zvlt.dat and server.ini stay.
uninstall:
	BUILD=$(BUILD) INSTALL_DIR=$(INSTALL_DIR) DESTDIR=$(DESTDIR) ./scripts/install-service uninstall

# The database and settings of make run (in $(RUN_DIR)) are kept.
clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
