# One command each: `make demo` sets everything up and runs the demo,
# `make test` sets everything up and runs the suite.
# Needs CPython 3.12 (found through pyenv, or python3.12 on PATH).

VENV    := .venv
PY      := $(VENV)/bin/python
PYTHON312 ?= $(shell for p in $$(pyenv root 2>/dev/null)/versions/3.12.*/bin/python $$(command -v python3.12); do "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null && echo "$$p"; done | head -n 1)
BUILD_DEPS := 'scikit-build-core>=0.11' 'cmake>=3.26' ninja
STAMP   := $(VENV)/.installed
SOURCES := $(shell find src -name "*.py" -o -name "*.pyi" -o -name "*.cpp" -o -name "*.hpp" -o -name "*.toml")

.PHONY: install demo test sanitize bench bench-fence bench-callgrind clean

$(PY):
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 not found: install it with pyenv or put python3.12 on PATH" >&2; exit 2; }
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Rebuilds the extension whenever a source or the build description changes.
$(STAMP): $(PY) pyproject.toml CMakeLists.txt $(SOURCES)
	$(PY) -m pip install -q $(BUILD_DEPS)
	$(PY) -m pip install -q --no-build-isolation '.[test,fast]'
	@touch $(STAMP)

install: $(STAMP)

demo: install
	$(VENV)/bin/pellquist demo

test: install
	$(PY) -m pytest

# Timings of the rewrite against a plain-Python baseline (about a minute).
bench: install
	$(PY) benchmarks/run.py

# What the row-filter fence costs the 22 TPC-H queries on PostgreSQL, DuckDB
# and SQLite, fence on against off (a few minutes).
bench-fence: install
	$(PY) benchmarks/fence.py

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

$(ASAN_STAMP): $(PY) pyproject.toml CMakeLists.txt $(SOURCES)
	test -x $(ASAN_VENV)/bin/python || $(PYTHON312) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/python -m pip install -q --upgrade pip $(BUILD_DEPS)
	$(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation \
		-C cmake.define.PELLQUIST_SANITIZE=ON -C build-dir=build/asan '.[test]'
	@touch $(ASAN_STAMP)

sanitize: $(ASAN_STAMP)
	$(ASAN_ENV) $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider -q

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
