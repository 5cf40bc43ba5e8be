# halcyra: `make demo` and `make test` work on a fresh Debian 12 machine as root.
PYTHON     := /usr/bin/python3
BUILD      := build
ASAN_BUILD := build-asan
FUZZ_BUILD := build-fuzz
FUZZ_TIME  ?= 30
JOBS       ?= $(shell nproc)
PYTEST     := $(PYTHON) -m pytest -q -p no:cacheprovider python/tests

.PHONY: all deps build test test-cpp test-python sanitize demo bench fuzz clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	HALCYRA_PYTHONPATH=$(BUILD)/python $(PYTEST)
	$(MAKE) --no-print-directory sanitize

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer. The
# interpreter itself is not instrumented, so the runtime is preloaded into it.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DHALCYRA_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target halcyra core_tests binding_tests
	ASAN_OPTIONS=detect_leaks=0 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  HALCYRA_PYTHONPATH=$(ASAN_BUILD)/python $(PYTEST)

demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) scripts/demo.py

bench: build
	$(BUILD)/bench/ngram_bench
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/tokenize_bench.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/builder_bench.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/splitset_bench.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/term_bench.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/splitset_writer_bench.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/vector_bench.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/tools_bench.py
	$(BUILD)/bench/fst_bench
	$(PYTHON) bench/analyzer_peers.py $(BUILD)/bench/analyzer_bench

# The manifest parser and the split-set writer's inputs (resume manifests,
# compaction splits and tombstone records) under libFuzzer with
# AddressSanitizer and UBSan, for FUZZ_TIME seconds each. The seeds are
# written first: valid manifests by the manifest writer, and the manifests,
# splits and tombstone records of a writer's life by SplitSetWriter itself.
# CMake builds it all with clang (HALCYRA_FUZZ, see fuzz/CMakeLists.txt),
# the whole core instrumented and its assertions on, without the extension,
# tests or benchmarks.
fuzz:
	@scripts/install-deps clang libclang-rt-14-dev
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" \
	  -DHALCYRA_FUZZ=ON -DHALCYRA_PYTHON=OFF -DHALCYRA_TESTS=OFF -DHALCYRA_BENCH=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	mkdir -p $(FUZZ_BUILD)/manifest-corpus $(FUZZ_BUILD)/writer-corpus
	$(FUZZ_BUILD)/fuzz/manifest_seeds $(FUZZ_BUILD)/manifest-corpus
	$(FUZZ_BUILD)/fuzz/writer_seeds $(FUZZ_BUILD)/writer-corpus
	$(FUZZ_BUILD)/fuzz/manifest_fuzz -max_total_time=$(FUZZ_TIME) -max_len=4096 $(FUZZ_BUILD)/manifest-corpus
	$(FUZZ_BUILD)/fuzz/writer_fuzz -max_total_time=$(FUZZ_TIME) -max_len=8192 $(FUZZ_BUILD)/writer-corpus

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) demo-out
