# One driver for the newcomer's commands:
#   make demo   set everything up, then update a demo bundle from the stand-in market
#   make test   set everything up, then run every test (GoogleTest via ctest, then pytest)
PY      := .venv/bin/python
NATIVE  := build/native
JOBS    ?= 2
# cmake, ninja and the build backends come from the checkout's virtual environment.
export PATH := $(CURDIR)/.venv/bin:$(PATH)

.PHONY: setup native-test lint pytest test demo bench clean

setup:
	bash tools/setup.sh

$(NATIVE)/CMakeCache.txt:
	cmake -S . -B $(NATIVE) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCORVANE_TESTS=ON -DCORVANE_PYTHON=OFF

native-test: $(NATIVE)/CMakeCache.txt
	cmake --build $(NATIVE) -j $(JOBS)
	cd $(NATIVE) && ctest --output-on-failure --no-tests=error

# Pyflakes-class faults and a few error-prone patterns (pyproject.toml [tool.ruff]).
lint:
	$(PY) -m ruff check src standins tests bench

# pytest exits 5 when it collects nothing, which fails this target.
pytest:
	$(PY) -m pytest -q

test: setup
	$(MAKE) lint
	$(MAKE) native-test
	$(MAKE) pytest

demo: setup
	bash tools/demo.sh

bench: setup
	$(PY) bench/run.py

clean:
	rm -rf build demo-bundle
