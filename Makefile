# Set-up and everyday commands. `make demo` and `make test` work on a fresh
# Debian machine with PyPI; PYTHON=... picks another interpreter (>= 3.11).
PYTHON ?= $(shell tools/find-python)
VENV   ?= .venv
PY     := $(VENV)/bin/python
PIP    := $(VENV)/bin/pip
STAMP  := $(VENV)/.installed
CPP_BUILD := build/cpp

.PHONY: all demo test build cpp-test pytest test-311 bench bench-tools ft-check gtest clean

all: build

$(STAMP): Makefile requirements-dev.txt requirements-typing.txt
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-dev.txt -r requirements-typing.txt
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
	$(PY) bench/bench_concurrency.py

# Accuracy of vantrell_tools on drawn scenes with known truth, and its cost
# on 12 megapixels (several minutes).
bench-tools: build
	$(PY) bench/bench_tools.py

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
	rm -rf build dist

# ---------------------------------------------------------------------------
# Distributions: an sdist, and for each CPython here a manylinux wheel built
# from it (tools/dist.sh says how). `make dist-check` installs each wheel into
# a fresh environment and runs the test suite against it; `make
# dist-check-314` does the same for CPython 3.14 in the Debian chroot (root).

.PHONY: dist dist-check dist-check-314

DIST_TOOLS := build/dist-tools
DIST_PYTHONS ?= $(shell for v in 3.13 3.11; do tools/find-python $$v 2>/dev/null; done)

$(DIST_TOOLS)/.installed: requirements-dist.txt
	test -x $(DIST_TOOLS)/bin/python || $(PYTHON) -m venv $(DIST_TOOLS)
	$(DIST_TOOLS)/bin/pip install -q --upgrade pip
	$(DIST_TOOLS)/bin/pip install -q -r requirements-dist.txt
	touch $@

dist: $(DIST_TOOLS)/.installed
	tools/dist.sh build $(DIST_PYTHONS)

dist-check: dist
	tools/dist.sh check $(DIST_PYTHONS)

# Takes the sdist that `make dist` left in dist/.
dist-check-314:
	test -f dist/vantrell-*.tar.gz || $(MAKE) --no-print-directory dist
	bash tools/py314-leg.sh dist

# ---------------------------------------------------------------------------
# Hardening: sanitizers, fuzzing, leaks and a CPython 3.14 leg.

.PHONY: sanitize asan-pytest asan-cpp tsan fuzz leaks valgrind test-314

ASAN_VENV  ?= .venv-asan
ASAN_PY    := $(ASAN_VENV)/bin/python
ASAN_RT     = $(shell $${CXX:-g++} -print-file-name=libasan.so)
SAN_BUILD  := build/asan
SAN_TYPE   ?= RelWithDebInfo
# The interpreter is not instrumented: the runtime is preloaded into it.
# allocator_may_return_null: outputs too large for memory must raise
# MemoryError, as without the sanitizer. Leaks are checked at every exit, the
# interpreter's own known ones suppressed (tools/lsan.supp explains each).
ASAN_ENV    = LD_PRELOAD=$(ASAN_RT) \
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1:halt_on_error=1:abort_on_error=0:detect_stack_use_after_return=0 \
  LSAN_OPTIONS=suppressions=$(abspath tools/lsan.supp):print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Not under the sanitizer: the tests that cap the address space (so that the
# pool cannot make its threads, or a call runs out of memory): the sanitizer's
# shadow memory needs far more. Nor the pure-Python tools' tests, whose native
# code is the image, Arrow and Dask libraries' (their own allocators and worker
# processes), not the module's.
ASAN_DESELECT ?= --deselect tests/test_pool.py::test_more_threads_than_can_be_made_still_work \
  --deselect tests/test_pool.py::test_running_out_of_memory_in_detect_raises_memory_error \
  --deselect tests/test_pool.py::test_a_pool_asked_for_more_threads_than_memory_allows_fails_soundly \
  --ignore=tests/tools

sanitize: asan-pytest asan-cpp tsan

# The extension with AddressSanitizer and UndefinedBehaviorSanitizer, in its
# own environment and build directory; then the whole Python suite under it.
$(ASAN_VENV)/.installed: requirements-dev.txt
	test -x $(ASAN_PY) || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install -q --upgrade pip
	$(ASAN_VENV)/bin/pip install -q -r requirements-dev.txt
	touch $@

asan-pytest: $(ASAN_VENV)/.installed
	$(ASAN_VENV)/bin/pip install -q --no-build-isolation --no-deps \
	  -C build-dir=$(SAN_BUILD) -C cmake.build-type=$(SAN_TYPE) \
	  -C cmake.define.VANTRELL_SANITIZE=address,undefined .
	$(ASAN_ENV) $(ASAN_PY) -m pytest -q -p no:cacheprovider $(ASAN_DESELECT) tests

# The C++ tests of the cores with the same two sanitizers.
asan-cpp: gtest $(STAMP)
	$(VENV)/bin/cmake -S . -B build/asan-cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DVANTRELL_PYTHON=OFF -DVANTRELL_TESTS=ON -DCMAKE_BUILD_TYPE=$(SAN_TYPE) \
	  -DVANTRELL_SANITIZE=address,undefined >/dev/null
	$(VENV)/bin/cmake --build build/asan-cpp
	cd build/asan-cpp && ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(abspath $(VENV))/bin/ctest --output-on-failure

# The C++ tests with ThreadSanitizer: the pool's, and the cores', which run
# their parallel loops on it.
TSAN_TARGETS ?= pool_tests detector_tests warp_tests
tsan: gtest $(STAMP)
	$(VENV)/bin/cmake -S . -B build/tsan -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DVANTRELL_PYTHON=OFF -DVANTRELL_TESTS=ON -DCMAKE_BUILD_TYPE=$(SAN_TYPE) \
	  -DVANTRELL_SANITIZE=thread >/dev/null
	$(VENV)/bin/cmake --build build/tsan --target $(TSAN_TARGETS)
	for t in $(TSAN_TARGETS); do \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch -R build/tsan/$$t || exit 1; \
	done

# The property-based tests' long profile (at least 100,000 calls; the count
# is printed at the end).
fuzz: build
	VANTRELL_FUZZ=long $(PY) -m pytest -q -p no:cacheprovider tests/test_fuzz.py

leaks: build
	$(PY) -m pytest -q -s tests/test_leaks.py

valgrind: build
	tools/valgrind-check.sh $(PY)

# The Python suite on CPython 3.14 in a cached Debian sid chroot (root only).
test-314:
	bash tools/py314-leg.sh
