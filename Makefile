# Set-up and everyday commands. `make demo` and `make test` work on a fresh
# Debian machine with PyPI; PYTHON=... picks another interpreter (>= 3.11).
PYTHON ?= $(shell tools/find-python)
VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP    := $(VENV)/bin/pip
STAMP  := $(VENV)/.installed
CPP_BUILD := build/cpp

.PHONY: all demo test build cpp-test pytest test-311 bench ft-check gtest clean

all: build

$(STAMP): Makefile requirements-dev.txt
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-dev.txt
	touch $@

# Build and install the extension into the virtual environment.
build: $(STAMP)
	$(PIP) install -q --no-build-isolation --no-deps .

demo: build
	$(PY) demo/demo.py

test: build cpp-test
	$(PY) -m pytest -q tests

# GoogleTest from Debian's packages, installed when missing.
gtest:
	@test -f /usr/include/gtest/gtest.h || { \
	  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q libgtest-dev; }

cpp-test: gtest $(STAMP)
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DVANTRELL_PYTHON=OFF -DVANTRELL_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && $(abspath $(VENV))/bin/ctest --output-on-failure

pytest: build
	$(PY) -m pytest -q tests

bench: build
	$(PIP) install -q -r bench/requirements.txt
	$(PY) bench/bench_detect.py
	$(PY) bench/bench_resample.py

# The Python suite once more on CPython 3.11, the oldest supported, when present.
PY311 ?= $(shell tools/find-python 3.11 2>/dev/null)
test-311:
	@if [ -n "$(PY311)" ]; then $(MAKE) --no-print-directory pytest PYTHON=$(PY311) VENV=.venv311; \
	else echo "no CPython 3.11 on this machine: that leg is skipped"; fi

# The binding compiled against the free-threaded ABI (syntax and types only:
# no free-threaded interpreter can be installed here).
ft-check: $(STAMP)
	@inc=$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["include"])'); \
	np=$$($(PY) -c 'import numpy; print(numpy.get_include())'); \
	for f in src/python/*.cpp; do \
	  echo "free-threaded ABI: $$f"; \
	  $${CXX:-g++} -std=c++20 -fsyntax-only -Wall -Wextra -Werror -DPy_GIL_DISABLED=1 \
	    -DNPY_NO_DEPRECATED_API=NPY_1_25_API_VERSION -DNPY_TARGET_VERSION=NPY_1_25_API_VERSION \
	    -Isrc -I"$$inc" -I"$$np" $$f || exit 1; \
	done

clean:
	rm -rf build
