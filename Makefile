# The two commands of the README: `make run` and `make test`. Both install
# the Debian packages they need first (as root; otherwise they print the
# apt-get command).
BUILD ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= 2

.PHONY: all deps build run test bench clean

all: build

deps:
	@./scripts/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: build
	./$(BUILD)/tarnwick

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# The benchmarks, about two minutes; BENCH_SECONDS=30 for steadier figures.
# The table goes to standard output, build/bench-results.json and
# BENCHMARKS.md.
BENCH_SECONDS ?= 5
bench: build
	./$(BUILD)/bench/loadgen --registry $(BUILD)/tarnwick --refserver $(BUILD)/bench/refserver \
	  --seconds $(BENCH_SECONDS) --json $(BUILD)/bench-results.json --markdown BENCHMARKS.md \
	  --command "make bench BENCH_SECONDS=$(BENCH_SECONDS)"

clean:
	rm -rf $(BUILD)
