# Quick start: `make run` (set up, build, run the demo) and `make test` (set up, build, test).
# Both install only what is missing and rebuild only what changed.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
# chromium and a font render the SVG drawings in the browser tests.
APT_PACKAGES := g++ pkg-config libeigen3-dev libboost-dev nlohmann-json3-dev zlib1g-dev \
                libqhull-dev libcgal-dev libpolyclipping-dev chromium fonts-liberation
# The stamp is named after the package list, so a longer list installs the newcomers once.
APT_STAMP := $(VENV)/.apt-$(firstword $(shell echo '$(APT_PACKAGES)' | cksum))
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
SOURCES := $(shell find core bindings python -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name py.typed \)) \
           CMakeLists.txt $(wildcard cmake/*.cmake) pyproject.toml

CMAKE := $(VENV)/bin/cmake
NINJA := $(VENV)/bin/ninja

# Installs whichever of the Debian packages $(1) are missing.
apt_install = dpkg -s $(1) >/dev/null 2>&1 || { \
  $(SUDO) apt-get update -q && \
  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $(1); }

.PHONY: run test build setup clean sanitize sanitize-build fuzz

run: build
	$(PY) examples/demo.py

test: build
	$(PY) -m pytest -q tests

build: build/.installed

setup: $(VENV)/.packages $(VENV)/.fenn3d

build/.installed: $(VENV)/.packages $(VENV)/.fenn3d $(SOURCES)
	$(PY) -m pip install --no-build-isolation --no-deps -q .
	@touch $@

$(APT_STAMP):
	@$(call apt_install,$(APT_PACKAGES))
	@mkdir -p $(VENV) && touch $@

# Only the first installation of the system packages comes before the Python ones: adding a
# system package later rebuilds nothing.
$(VENV)/.packages: requirements-dev.txt | $(APT_STAMP)
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

# ---- Fuzzing, by hand ------------------------------------------------------------------------
# make fuzz FUZZ_TARGET=expression|polygon|path|set_operations|mask|gdsii|oasis|touchstone|calibre_results|twf|json_store|bindings FUZZ_SECONDS=600
# The corpus grows in fuzz/corpus/<target>, findings land in fuzz/artifacts/<target>/.
FUZZ_TARGET ?= expression
FUZZ_SECONDS ?= 600
FUZZ_FLAGS ?=
FUZZ_BUILD := build/fuzz
FUZZ_CORPUS = fuzz/corpus/$(FUZZ_TARGET)
FUZZ_ARTIFACTS = fuzz/artifacts/$(FUZZ_TARGET)/
# A unit slower than a minute is a hang.
FUZZ_OPTIONS = -max_total_time=$(FUZZ_SECONDS) -timeout=60 -rss_limit_mb=4096 \
  -artifact_prefix=$(FUZZ_ARTIFACTS) $(addprefix -dict=,$(wildcard fuzz/$(FUZZ_TARGET).dict)) \
  $(FUZZ_FLAGS) $(FUZZ_CORPUS) $(wildcard fuzz/seeds/$(FUZZ_TARGET))

ifeq ($(FUZZ_TARGET),bindings)
# The driver runs in the interpreter against the sanitizer build, with libFuzzer preloaded ahead
# of the sanitizer runtime, whose empty coverage hooks would otherwise take the driver's counters.
fuzz: sanitize-build $(FUZZ_BUILD)/libfuzzer.so
	@$(PY) -c "import atheris" 2>/dev/null || $(PY) -m pip install -q atheris
	@mkdir -p $(FUZZ_CORPUS) $(FUZZ_ARTIFACTS)
	LD_PRELOAD="$(abspath $(FUZZ_BUILD)/libfuzzer.so) $(SANITIZE_RUNTIME)" \
	  ASAN_OPTIONS=$(ASAN_PYTHON):verify_asan_link_order=0 $(SANITIZE_ENV) \
	  $(PY) fuzz/bindings.py $(FUZZ_OPTIONS)
else
fuzz: $(FUZZ_BUILD)/build.ninja
	$(NINJA) -C $(FUZZ_BUILD) -j2 $(FUZZ_TARGET)
	@mkdir -p $(FUZZ_CORPUS) $(FUZZ_ARTIFACTS)
	UBSAN_OPTIONS=print_stacktrace=1 $(FUZZ_BUILD)/$(FUZZ_TARGET) $(FUZZ_OPTIONS)
endif

$(FUZZ_BUILD)/.clang:
	@$(call apt_install,clang libclang-rt-dev)
	@mkdir -p $(FUZZ_BUILD) && touch $@

$(FUZZ_BUILD)/build.ninja: Makefile $(APT_STAMP) $(VENV)/.packages $(FUZZ_BUILD)/.clang
	$(CMAKE) -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) \
	  -DCMAKE_CXX_COMPILER=clang++

$(FUZZ_BUILD)/libfuzzer.so: $(FUZZ_BUILD)/.clang
	clang++ -shared -o $@ -Wl,--whole-archive \
	  $$(clang++ -print-file-name=libclang_rt.fuzzer_no_main-x86_64.a) -Wl,--no-whole-archive

clean:
	rm -rf build
