# Quick start: `make demo` runs the main job (quorlin-track on a synthetic
# movie file), `make test` the whole test suite. Both set up what is
# missing first: a virtual environment in .venv with the build and test dependencies (oneTBB
# included, from PyPI) and the module built and installed into it. Neither needs root; a C++20
# compiler must be on PATH (or named by CXX). Later runs reuse all of it and rebuild only what
# changed.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
SOURCES := $(shell find src python -type f) CMakeLists.txt pyproject.toml
BUILD_FLAGS := --no-build-isolation --config-settings=cmake.define.QUORLIN_WERROR=ON \
  --config-settings=cmake.define.QUORLIN_CPP_TESTS=ON

.PHONY: demo test test-sanitize fuzz-long bench compiler

# The one thing not installed here: building from source needs a C++20 compiler.
compiler:
	@command -v "$${CXX:-c++}" >/dev/null || command -v g++ >/dev/null || command -v clang++ >/dev/null || { \
	  echo "no C++ compiler found: quorlin is built from source and needs a C++20 compiler (g++ 10 or" \
	       "later, or clang++ 13 or later) on PATH or named by CXX; everything else comes from PyPI" >&2; \
	  exit 1; }

$(VENV)/.deps: pyproject.toml tools/requirements.py | compiler
	@test -x $(PY) || python3 -m venv $(VENV)
	$(PY) tools/requirements.py build test demo > $(VENV)/requirements.txt
	$(PIP) install -r $(VENV)/requirements.txt cmake ninja
	@touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(PIP) install $(BUILD_FLAGS) --no-deps .
	@touch $@

# The command-line chain on a file: a synthetic movie written to demo-output/synthetic.tif with its
# ground truth, tracked, and measured against the truth.
demo: $(VENV)/.installed
	$(VENV)/bin/quorlin-track --demo --out demo-output

test: $(VENV)/.installed
	$(PY) -m pytest -q
	@$(MAKE) --no-print-directory test-sanitize

# The whole suite again against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: $(VENV)/.installed
	PY=$(PY) tools/sanitize.sh

# The property-based tests with many more examples than the regular run.
fuzz-long: $(VENV)/.installed
	QUORLIN_FUZZ_PROFILE=long $(PY) -m pytest -q tests/test_fuzz.py

$(VENV)/.bench: $(VENV)/.deps
	$(PY) tools/requirements.py bench > $(VENV)/requirements-bench.txt
	$(PIP) install -r $(VENV)/requirements-bench.txt
	@touch $@

bench: $(VENV)/.installed $(VENV)/.bench
	$(PY) bench/run_all.py
