# make demo: install what is missing, build, run the example.
# make test: install what is missing, build, run every test.
VENV  := .venv
PY    := $(abspath $(VENV))/bin/python
BUILD := build
# The environment's tools (a newer CMake when the system's is too old) first.
export PATH := $(abspath $(VENV))/bin:$(PATH)

.PHONY: bootstrap build test demo bench-deps clean

bootstrap:
	bash scripts/bootstrap.sh

build: bootstrap
	cmake -S . -B $(BUILD) -G Ninja -DPython_EXECUTABLE=$(PY) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j 4
	PYTHONPATH=$(BUILD)/python $(PY) -m pytest tests/python -q

demo: build
	PYTHONPATH=$(BUILD)/python $(PY) examples/demo.py

bench-deps: bootstrap
	bash scripts/bench-deps.sh
	$(PY) -m pip install -q -r requirements-bench.txt

# Every build directory the Makefile, the scripts and the README make, and the
# wheels of scripts/build_wheel.sh; .venv stays.
clean:
	rm -rf $(BUILD) build-asan build-tsan build-clang build-c dist
