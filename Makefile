# Quick start: `make demo` runs the main job (quorlin-track on a synthetic movie file), `make test`
# the whole test suite. Both set up what is missing first: the system packages (oneTBB, a C++
# compiler), a virtual environment in .venv with the build and test dependencies, and the module
# built and installed into it. Later runs reuse all of it and rebuild only what changed.
SHELL := /bin/bash
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
SOURCES := $(shell find src python -type f) CMakeLists.txt pyproject.toml
BUILD_FLAGS := --no-build-isolation --config-settings=cmake.define.QUORLIN_WERROR=ON

.PHONY: demo test test-sanitize fuzz-long bench sysdeps

sysdeps:
	@if ! { [ -f /usr/include/oneapi/tbb.h ] || [ -f /usr/include/tbb/tbb.h ]; } || ! command -v g++ >/dev/null; then \
	  echo "installing system packages (oneTBB, g++)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libtbb-dev g++ >/dev/null; \
	fi

$(VENV)/.deps: pyproject.toml | sysdeps
	@test -x $(PY) || python3 -m venv $(VENV)
	$(PIP) install "scikit-build-core>=0.10" "numpy>=2.0" "pybind11>=2.12" cmake ninja
	$(PY) tools/requirements.py test demo > $(VENV)/requirements.txt
	$(PIP) install -r $(VENV)/requirements.txt
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
