# halcyra: `make demo` and `make test` work on a fresh Debian 12 machine as root.
PYTHON     := /usr/bin/python3
BUILD      := build
ASAN_BUILD := build-asan
FUZZ_BUILD := build-fuzz
WHEEL      := build-wheel
FUZZ_TIME  ?= 30
JOBS       ?= $(shell nproc)
PYTEST     := $(PYTHON) -m pytest -q -p no:cacheprovider python/tests

.PHONY: all deps build test test-cpp test-python sanitize package demo bench fuzz clean

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE=$(PYTHON)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	HALCYRA_PYTHONPATH=$(BUILD)/python $(PYTEST)
	$(MAKE) --no-print-directory sanitize
	$(MAKE) --no-print-directory package

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer. The
# interpreter itself is not instrumented, so the runtime is preloaded into it.
sanitize: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DHALCYRA_SANITIZE=ON \
	  -DPython3_EXECUTABLE=$(PYTHON) >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS) --target halcyra core_tests binding_tests
	ASAN_OPTIONS=detect_leaks=0 ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  HALCYRA_PYTHONPATH=$(ASAN_BUILD)/python $(PYTEST)

# The package as users get it, checked outside the source tree: a wheel built
# by setuptools driving CMake and installed into a fresh virtual environment
# (with the system's packages), where the Python tests, the stub checker and
# mypy --strict over a typed example run against the installed package; and
# the same package installed straight from the source tree with pip.
package: deps
	rm -rf $(WHEEL)/dist $(WHEEL)/venv $(WHEEL)/venv-src $(WHEEL)/run
	$(PYTHON) -m build --no-isolation --wheel --outdir $(WHEEL)/dist .
	$(PYTHON) -m venv --system-site-packages $(WHEEL)/venv
	$(WHEEL)/venv/bin/pip install -q --no-index $(WHEEL)/dist/halcyra-*.whl
	$(PYTHON) -m venv --system-site-packages $(WHEEL)/venv-src
	$(WHEEL)/venv-src/bin/pip install -q --no-index --no-build-isolation .
	mkdir -p $(WHEEL)/run && cp python/typed_example.py $(WHEEL)/run/
	cd $(WHEEL)/run && ../venv-src/bin/python -c "import halcyra, halcyra_tools; assert len(halcyra.__all__) == 12"
	cd $(WHEEL)/run && HALCYRA_PYTHONPATH=installed ../venv/bin/python -m pytest -q -p no:cacheprovider $(CURDIR)/python/tests
	cd $(WHEEL)/run && ../venv/bin/python -m mypy.stubtest halcyra
	cd $(WHEEL)/run && ../venv/bin/python -m mypy --strict --cache-dir=/dev/null typed_example.py
	cd $(WHEEL)/run && ../venv/bin/python typed_example.py

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
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/threads_bench.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/tools_bench.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/staging_bench.py
	PYTHONPATH=$(BUILD)/python $(PYTHON) bench/dask_bench.py
	$(BUILD)/bench/fst_bench
	$(PYTHON) bench/analyzer_peers.py $(BUILD)/bench/analyzer_bench

# The manifest parser, the split-set writer's inputs (resume manifests,
# compaction splits and tombstone records), the vector model's buffers and the
# n-gram and term tokenizers under libFuzzer with AddressSanitizer and UBSan,
# for FUZZ_TIME seconds each. Each target starts from its seeds in
# fuzz/corpus/<target> (written by the fuzz/*_seeds programs, kept in git and
# only read here) and keeps what it finds in $(FUZZ_BUILD)/<target>-corpus;
# crash, leak, timeout and out-of-memory inputs land in $(FUZZ_BUILD) too.
# Resume and compaction are bounded by their inputs, so every target runs
# within FUZZ_LIMITS. CMake builds it all with clang (HALCYRA_FUZZ, see
# fuzz/CMakeLists.txt), the whole core instrumented and its assertions on,
# without the extension, tests or benchmarks.
FUZZ_LIMITS := -rss_limit_mb=1024 -malloc_limit_mb=512
FUZZ_RUN = $(FUZZ_BUILD)/fuzz/$(1)_fuzz $(FUZZ_LIMITS) -max_total_time=$(FUZZ_TIME) -max_len=$(2) \
  -artifact_prefix=$(FUZZ_BUILD)/$(1)- $(FUZZ_BUILD)/$(1)-corpus fuzz/corpus/$(1)
fuzz:
	@scripts/install-deps clang libclang-rt-14-dev
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DCMAKE_C_FLAGS_DEBUG="-g -O1" \
	  -DHALCYRA_FUZZ=ON -DHALCYRA_PYTHON=OFF -DHALCYRA_TESTS=OFF -DHALCYRA_BENCH=OFF >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	mkdir -p $(FUZZ_BUILD)/manifest-corpus $(FUZZ_BUILD)/writer-corpus $(FUZZ_BUILD)/vector-corpus \
	  $(FUZZ_BUILD)/text-corpus
	$(call FUZZ_RUN,manifest,4096)
	$(call FUZZ_RUN,writer,16384)
	$(call FUZZ_RUN,vector,8192)
	$(call FUZZ_RUN,text,4096)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(WHEEL) demo-out
