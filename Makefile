# Quick start: `make run` (set up, build, run the demo) and `make test` (set up, build, test).
# Both install only what is missing and rebuild only what changed.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
APT_PACKAGES := g++ pkg-config libeigen3-dev libboost-dev nlohmann-json3-dev zlib1g-dev \
                libqhull-dev libcgal-dev libpolyclipping-dev
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
SOURCES := $(shell find core bindings python -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' \)) \
           CMakeLists.txt pyproject.toml

CMAKE := $(VENV)/bin/cmake
NINJA := $(VENV)/bin/ninja

# Installs whichever of the Debian packages $(1) are missing.
apt_install = dpkg -s $(1) >/dev/null 2>&1 || { \
  $(SUDO) apt-get update -q && \
  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $(1); }

.PHONY: run test build setup clean sanitize sanitize-build

run: build
	$(PY) examples/demo.py

test: build
	$(PY) -m pytest -q tests

build: build/.installed

setup: $(VENV)/.packages $(VENV)/.fenn3d

build/.installed: $(VENV)/.packages $(VENV)/.fenn3d $(SOURCES)
	$(PY) -m pip install --no-build-isolation --no-deps -q .
	@touch $@

$(VENV)/.apt:
	@$(call apt_install,$(APT_PACKAGES))
	@mkdir -p $(VENV) && touch $@

$(VENV)/.packages: requirements-dev.txt $(VENV)/.apt
	@[ -x $(PY) ] || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

# The solver package's stand-in, only where the real package is absent.
$(VENV)/.fenn3d: $(VENV)/.packages
	@$(PY) -c "import fenn3d" 2>/dev/null || $(PY) -m pip install -q -e support/fenn3d
	@touch $@

# ---- Sanitizer run -------------------------------------------------------------------------
# The whole suite against a separate checked build: memory errors and undefined behaviour end
# the run. The interpreter is not instrumented, so the sanitizer runtime is preloaded, with the
# C++ runtime beside it for its exception interceptor to find. Python's own allocator is off, so
# freed interpreter objects are caught too. Leaks are left to the fuzzers (the core alone): the
# interpreter keeps memory to the end. Huge requests fail as without the sanitizer.
SANITIZE_BUILD := build/sanitize
SANITIZE_RUNTIME = $(realpath $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so))
ASAN_PYTHON := detect_leaks=0:allocator_may_return_null=1
SANITIZE_ENV = PYTHONMALLOC=malloc PYTHONPATH=$(SANITIZE_BUILD)/python UBSAN_OPTIONS=print_stacktrace=1

sanitize: sanitize-build
	LD_PRELOAD="$(SANITIZE_RUNTIME)" ASAN_OPTIONS=$(ASAN_PYTHON) $(SANITIZE_ENV) $(PY) -m pytest -q tests

sanitize-build: $(SANITIZE_BUILD)/build.ninja
	$(NINJA) -C $(SANITIZE_BUILD) -j2

$(SANITIZE_BUILD)/build.ninja: Makefile $(VENV)/.packages $(VENV)/.fenn3d
	$(CMAKE) -S . -B $(SANITIZE_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) \
	  -DCMAKE_BUILD_TYPE=Debug -DPython_EXECUTABLE=$(abspath $(PY)) -DWHISTLE_SANITIZE=ON

clean:
	rm -rf build
