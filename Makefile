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
	$(BUILD)/bench/fst_bench
	$(PYTHON) bench/analyzer_peers.py $(BUILD)/bench/analyzer_bench

# The manifest parser and the split-set writer's inputs (resume manifests,
# compaction splits and tombstone records) under libFuzzer with
# AddressSanitizer and UBSan, for FUZZ_TIME seconds each, from seeds written
# by the manifest writer and by the writer itself. The parser needs only its
# own unit and the error values; the writer needs the tokenizer, postings,
# the n-gram index writer and the split-set units, with Roaring and ICU.
FUZZ_CXXFLAGS := -std=c++20 -O1 -g -Icore/include -Icore/src
FUZZ_SOURCES  := core/src/splitset/manifest.cc core/src/index/core_error.cc
WRITER_FUZZ_SOURCES := $(wildcard core/src/splitset_write/*.cc core/src/splitset/*.cc core/src/index/*.cc) \
  core/src/build/ngram_keys.cc core/src/build/ngram_index.cc core/src/build/postings.cc \
  core/src/build/posting_table.cc core/src/build/bitmap_queue.cc
WRITER_FUZZ_LIBS := -lroaring -licuuc

fuzz:
	@scripts/install-deps clang libclang-rt-14-dev
	mkdir -p $(FUZZ_BUILD)/manifest-corpus
	clang++ $(FUZZ_CXXFLAGS) fuzz/manifest_seeds.cc $(FUZZ_SOURCES) -o $(FUZZ_BUILD)/manifest_seeds
	$(FUZZ_BUILD)/manifest_seeds $(FUZZ_BUILD)/manifest-corpus
	clang++ $(FUZZ_CXXFLAGS) -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	  fuzz/manifest_fuzz.cc $(FUZZ_SOURCES) -o $(FUZZ_BUILD)/manifest_fuzz
	$(FUZZ_BUILD)/manifest_fuzz -max_total_time=$(FUZZ_TIME) -max_len=4096 $(FUZZ_BUILD)/manifest-corpus
	mkdir -p $(FUZZ_BUILD)/writer-corpus
	clang++ $(FUZZ_CXXFLAGS) fuzz/writer_seeds.cc $(WRITER_FUZZ_SOURCES) $(WRITER_FUZZ_LIBS) -o $(FUZZ_BUILD)/writer_seeds
	$(FUZZ_BUILD)/writer_seeds $(FUZZ_BUILD)/writer-corpus
	clang++ $(FUZZ_CXXFLAGS) -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
	  fuzz/writer_fuzz.cc $(WRITER_FUZZ_SOURCES) $(WRITER_FUZZ_LIBS) -o $(FUZZ_BUILD)/writer_fuzz
	$(FUZZ_BUILD)/writer_fuzz -max_total_time=$(FUZZ_TIME) -max_len=8192 $(FUZZ_BUILD)/writer-corpus

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) demo-out
