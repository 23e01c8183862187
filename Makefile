# One driver for the newcomer's commands:
#   make demo   set everything up, then update a demo bundle from the stand-in market
#   make test-fast  lint and the tests but the slow (process-level) ones
#   make test   set everything up, then run every test (GoogleTest via ctest, the
#               GoogleTests again under the sanitizers, then pytest)
#   make wheel  a wheel in dist/ that carries HDF5 and libdeflate (installs without them)
PY      := .venv/bin/python
,       := ,
NATIVE  := build/native
ASAN    := build/native-asan
TSAN    := build/native-tsan
TSAN_PY := build/python-tsan
ASAN_PY := build/python-asan
JOBS    ?= 2
# cmake, ninja and the build backends come from the checkout's virtual environment.
export PATH := $(CURDIR)/.venv/bin:$(PATH)

.PHONY: setup test-fast wheel native-test sanitizer-test asan-test tsan-test tsan-binding-test asan-binding-test lint pytest test demo bench mutants clean

setup:
	bash tools/setup.sh

$(NATIVE)/CMakeCache.txt:
	cmake -S . -B $(NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCORVANE_TESTS=ON -DCORVANE_PYTHON=OFF

native-test: $(NATIVE)/CMakeCache.txt
	cmake --build $(NATIVE) -j $(JOBS)
	cd $(NATIVE) && ctest --output-on-failure --no-tests=error

# The GoogleTests again, built with AddressSanitizer and UndefinedBehaviorSanitizer
# (every test) and with ThreadSanitizer (the tests of the compression threads, the
# journal, the guarded file, the file and the reader's threads), each in a build
# directory of its own. Any sanitizer report fails the run.
SANITIZED = cmake -S . -B $(1) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCORVANE_TESTS=ON -DCORVANE_PYTHON=OFF \
	    -DCMAKE_CXX_FLAGS="-fsanitize=$(2) -fno-omit-frame-pointer -fno-sanitize-recover=all" \
	    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=$(2)"
TSAN_TESTS := CompressInOrder.*:CompressionThreads.*:Journal*:*JournalIdentity*:GuardedFile*:File.*:ExistingFile*:ReadColumns*:FoldBars*

$(ASAN)/CMakeCache.txt:
	$(call SANITIZED,$(ASAN),address$(,)undefined)

$(TSAN)/CMakeCache.txt:
	$(call SANITIZED,$(TSAN),thread)

asan-test: $(ASAN)/CMakeCache.txt
	cmake --build $(ASAN) -j $(JOBS)
	cd $(ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure --no-tests=error

tsan-test: $(TSAN)/CMakeCache.txt
	cmake --build $(TSAN) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	    $(TSAN)/native/tests/corvane_engine_tests --gtest_filter='$(TSAN_TESTS)'

# The binding under ThreadSanitizer: its instrumented build is loaded in place of
# the installed module (tools/with_engine.py) for its own tests and the tests of
# one file used from two threads and across fork().
$(TSAN_PY)/CMakeCache.txt:
	cmake -S . -B $(TSAN_PY) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCORVANE_PYTHON=ON -DCORVANE_HOOKS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
	    -DCMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
	    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=thread" -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=thread"

tsan-binding-test: $(TSAN_PY)/CMakeCache.txt
	cmake --build $(TSAN_PY) -j $(JOBS)
	LD_PRELOAD=$$($(CXX) -print-file-name=libtsan.so) TSAN_OPTIONS=halt_on_error=1 \
	    $(PY) tools/with_engine.py $(TSAN_PY)/native/python/_engine*.so -m pytest -q \
	    -p no:cacheprovider tests/test_engine_api.py tests/test_crash.py \
	    -k "not share_one_process and (test_engine_api or thread or forked)"

# The binding under AddressSanitizer and UndefinedBehaviorSanitizer, for the
# damaged files of the fuzz test and the binding's own tests. The C++ runtime
# is preloaded with the sanitizer's, so that its exceptions pass through it.
# A report in a forked fuzz case fails that case; anywhere else, the run.
$(ASAN_PY)/CMakeCache.txt:
	cmake -S . -B $(ASAN_PY) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCORVANE_PYTHON=ON -DCORVANE_HOOKS=ON -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
	    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all" \
	    -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
	    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined"

asan-binding-test: $(ASAN_PY)/CMakeCache.txt
	cmake --build $(ASAN_PY) -j $(JOBS)
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	    ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=2048 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(PY) tools/with_engine.py $(ASAN_PY)/native/python/_engine*.so -m pytest -q \
	    -p no:cacheprovider tests/test_fuzz.py tests/test_hostile_files.py tests/test_engine_api.py

sanitizer-test: asan-test tsan-test tsan-binding-test asan-binding-test

# Pyflakes-class faults and a few error-prone patterns (pyproject.toml [tool.ruff]),
# and no import circle among corvane's modules.
lint:
	$(PY) -m ruff check src standins tests bench
	$(PY) tools/import_cycles.py
	$(PY) tools/sizes.py

# pytest exits 5 when it collects nothing, which fails this target.
pytest:
	$(PY) -m pytest -q

# The loop while working: ruff, the import check and the tests that run in
# one process, without the sanitizer builds and the slow (process-level)
# groups. `make test` still runs everything.
test-fast:
	$(MAKE) lint
	$(PY) -m pytest -q -m "not slow"

test: setup
	$(MAKE) lint
	$(MAKE) native-test
	$(MAKE) sanitizer-test
	$(MAKE) pytest

demo: setup
	bash tools/demo.sh

wheel: setup
	bash tools/wheel.sh dist

bench: setup
	$(PY) bench/run.py

# Test strength: each fault of tools/mutants.toml applied alone in a scratch copy
# (build/mutants) must fail its tests. Long; not part of `make test`.
# MUTANTS="--only ID,ID" or MUTANTS="--area verify" runs a few.
mutants: setup
	$(PY) tools/mutants.py $(MUTANTS)

clean:
	rm -rf build demo-bundle dist
