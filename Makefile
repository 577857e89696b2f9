# One command each: `make demo` sets everything up and runs the demo,
# `make test` sets everything up and runs the suite.
# Needs CPython 3.12 (found through pyenv, or python3.12 on PATH).

VENV    := .venv
PY      := $(VENV)/bin/python
# The newest CPython X.Y found through pyenv, or pythonX.Y on PATH.
find_python = $(shell for p in $$(ls -rd $$(pyenv root 2>/dev/null)/versions/$(1).*/bin/python 2>/dev/null) $$(command -v python$(1)); do "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != tuple(map(int, "$(1)".split("."))))' 2>/dev/null && echo "$$p"; done | head -n 1)
PYTHON312 ?= $(call find_python,3.12)
PYTHON313 ?= $(call find_python,3.13)
# Every build and test dependency comes at the version the lock names, so a
# new machine installs what CI tested; `make update-deps` moves the pins.
LOCK    := requirements/lock.txt
PIN     := -c $(LOCK)
# The suite reaches nothing beyond loopback.
OFFLINE := tools/offline
BUILD_DEPS := $(PIN) scikit-build-core cmake ninja setuptools
STAMP   := $(VENV)/.installed
SOURCES := $(shell find src -name "*.py" -o -name "*.pyi" -o -name "*.cpp" -o -name "*.hpp" -o -name "*.toml")

.PHONY: install lock update-deps demo test test-random test-3.13 typecheck sanitize bench bench-fence bench-catalogue bench-callgrind bench-gateway clean mutate

$(PY):
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 not found: install it with pyenv or put python3.12 on PATH" >&2; exit 2; }
	@echo "==> creating $(VENV) with $(PYTHON312)"
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install -q $(PIN) --upgrade pip

# Rebuilds the extension whenever a source or the build description changes.
$(STAMP): $(PY) $(LOCK) pyproject.toml CMakeLists.txt $(SOURCES)
	@echo "==> build tools, then pellquist with its test engines (a few minutes on a fresh machine)"
	$(PY) -m pip install -q $(BUILD_DEPS)
	$(PY) -m pip install -q $(PIN) --no-build-isolation '.[test,fast]'
	$(PY) tools/check_lock.py $(LOCK)
	@touch $(STAMP) $(DEMO_STAMP)

# The demo needs the package and the gateway's few dependencies (pellquist
# serve), not the engines the tests run on.
DEMO_STAMP := $(VENV)/.demo-installed
$(DEMO_STAMP): $(PY) $(LOCK) pyproject.toml CMakeLists.txt $(SOURCES)
	@echo "==> build tools, then pellquist (about a minute on a fresh machine)"
	$(PY) -m pip install -q $(BUILD_DEPS)
	$(PY) -m pip install -q $(PIN) --no-build-isolation '.[fast,gateway]'
	@touch $(DEMO_STAMP)

install: $(STAMP)

# The lock is resolved from pyproject.toml's extras and requirements/tools.in
# for CPython 3.12 and 3.13 on every platform.  `make lock` keeps every pin
# it can (after an edit of the ranges); `make update-deps` moves every pin to
# the newest release in range, installs it and holds the function floor to
# the engines it brought.
UV_COMPILE = $(PY) -m uv pip compile -q --universal --python-version 3.12 \
	--extra test --extra fast --extra database --extra gateway pyproject.toml requirements/tools.in -o $(LOCK)

# Resolving needs only uv, not an installed venv: a dependency just added to
# pyproject.toml is not in the lock yet, so the install's lock check would stop
# the very command that pins it.
lock: $(PY)
	$(PY) -m pip install -q $(PIN) uv
	$(UV_COMPILE)
	$(MAKE) install

update-deps: install
	$(PY) -m pip install -q $(PIN) uv
	$(UV_COMPILE) --upgrade
	$(PY) -m uv pip sync -q --python $(PY) $(LOCK)
	$(MAKE) install
	CI=true $(OFFLINE) $(PY) -m pytest -p no:cacheprovider -q tests/test_function_floor.py

demo: $(DEMO_STAMP)
	$(VENV)/bin/pellquist demo

test: install
	$(OFFLINE) $(PY) -m pytest

# The same suite in a random order (pytest-randomly, at the version the lock
# names): a test that passes only after another one has run fails here.  The
# run prints its seed; `make test-random SEED=<seed>` runs that order again.
test-random: install
	$(PY) -m pip install -q $(PIN) pytest-randomly
	$(OFFLINE) $(PY) -m pytest -p randomly $(if $(SEED),--randomly-seed=$(SEED))

# The same suite on CPython 3.13, in its own venv and build directory.
VENV313 := .venv-3.13
STAMP313 := $(VENV313)/.installed

$(STAMP313): $(LOCK) pyproject.toml CMakeLists.txt $(SOURCES)
	@test -n "$(PYTHON313)" || { echo "CPython 3.13 not found: install it with pyenv or put python3.13 on PATH" >&2; exit 2; }
	test -x $(VENV313)/bin/python || $(PYTHON313) -m venv $(VENV313)
	$(VENV313)/bin/python -m pip install -q $(PIN) --upgrade pip && $(VENV313)/bin/python -m pip install -q $(BUILD_DEPS)
	$(VENV313)/bin/python -m pip install -q $(PIN) --no-build-isolation -C build-dir=build/py313 '.[test,fast]'
	$(VENV313)/bin/python tools/check_lock.py $(LOCK)
	@touch $(STAMP313)

# ClickHouse and Spark run once per CI, in `make test`: what 3.13 changes
# is the core, not the engines.
test-3.13: $(STAMP313)
	$(OFFLINE) env PELLQUIST_SKIP_HEAVY_ENGINES=1 $(VENV313)/bin/python -m pytest -p no:cacheprovider -q

# mypy --strict on the README's Python examples, and stubtest on the package.
typecheck: install
	$(PY) -m pip install -q $(PIN) mypy
	$(PY) tools/typecheck.py

# Time and instructions per TPC-H query against two references: the floor
# (parse, render, read-back parse) and a plain-Python baseline (a few minutes).
bench: install
	$(PY) benchmarks/run.py
	@if command -v valgrind >/dev/null; then $(PY) benchmarks/instructions.py; \
	else echo "valgrind not found: instructions per query left out (apt-get install valgrind)"; fi

# What the row-filter fence costs the 22 TPC-H queries on PostgreSQL, DuckDB
# and SQLite, fence on against off (a few minutes).
bench-fence: install
	$(PY) benchmarks/fence.py

# A one-table query on catalogues of 10 and 10**6 tables (a minute).
bench-catalogue: install
	$(PY) benchmarks/catalogue_size.py

# pellquist serve in front of a throw-away PostgreSQL: overhead per query,
# the rewrite cache, queries per second per worker, memory while streaming
# 10 million rows (about two minutes).
bench-gateway: install
	$(PY) benchmarks/gateway.py

# Instruction counts under callgrind: the extension's own share (minutes).
bench-callgrind: install
	$(PY) benchmarks/callgrind.py

# The whole suite against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer.  The interpreter is not instrumented, so the
# runtime is preloaded, and PYTHONMALLOC=malloc lets it see every object.
ASAN_VENV := .venv-asan
ASAN_STAMP := $(ASAN_VENV)/.installed
ASAN_ENV := LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:malloc_context_size=30 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/.ci/lsan.supp:print_suppressions=0

$(ASAN_STAMP): $(PY) $(LOCK) pyproject.toml CMakeLists.txt $(SOURCES)
	test -x $(ASAN_VENV)/bin/python || $(PYTHON312) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q $(PIN) --upgrade pip && $(ASAN_VENV)/bin/python -m pip install -q $(BUILD_DEPS)
	$(ASAN_VENV)/bin/python -m pip install -q $(PIN) --no-build-isolation \
		-C cmake.define.PELLQUIST_SANITIZE=ON -C build-dir=build/asan '.[test]'
	$(ASAN_VENV)/bin/python tools/check_lock.py $(LOCK)
	@touch $(ASAN_STAMP)

# ClickHouse (chdb) and Spark are left out: chdb cannot load under the
# preloaded ASan runtime, and the JVM would inherit it.  The summary names
# the switch for each test it skips.
sanitize: $(ASAN_STAMP)
	$(OFFLINE) env $(ASAN_ENV) PELLQUIST_SKIP_HEAVY_ENGINES=1 $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider -q

# Faults seeded into the wall, and the share of them the wall's tests catch:
# mutmut over src/pellquist/wall/, then the C++ mutants of
# tools/mutants/cpp.toml and the faults of tools/mutants/seeded.toml (written
# without sight of the tests), in copies of the tree under build/mutate with a
# venv of their own (src/ and .venv are left alone).  Hours, so it is no part
# of `make test` nor of CI: see docs/mutation.md.  MUTANTS='pellquist.wall.fence.*'
# narrows the Python run, CPP_MUTANTS='fence-dropped ...' the C++ one;
# MUTATE_REF=<commit> mutates a commit instead of the work tree, and
# MUTATE_JOBS=2 tests two Python mutants at a time.  The Python run takes up
# where the last one stopped (a changed function's mutants run again);
# MUTATE_FRESH=1 starts over.
mutate:
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 not found: install it with pyenv or put python3.12 on PATH" >&2; exit 2; }
	$(PYTHON312) tools/mutate.py python $(foreach glob,$(MUTANTS),'$(glob)')
	$(PYTHON312) tools/mutate_cpp.py $(CPP_MUTANTS)
	$(PYTHON312) tools/mutate_cpp.py --list tools/mutants/seeded.toml
	$(PYTHON312) tools/mutate.py report

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(VENV313)
