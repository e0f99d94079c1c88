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

.PHONY: run test build setup clean

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
	@dpkg -s $(APT_PACKAGES) >/dev/null 2>&1 || { \
	  $(SUDO) apt-get update -q && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $(APT_PACKAGES); }
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

clean:
	rm -rf build
