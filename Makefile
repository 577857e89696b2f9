# One command each: `make demo` sets everything up and runs the demo,
# `make test` sets everything up and runs the suite.
# Needs CPython 3.12 (found through pyenv, or python3.12 on PATH).

VENV    := .venv
PY      := $(VENV)/bin/python
PYTHON312 ?= $(shell for p in $$(pyenv root 2>/dev/null)/versions/3.12.*/bin/python $$(command -v python3.12); do "$$p" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null && echo "$$p"; done | head -n 1)
BUILD_DEPS := scikit-build-core>=0.10 cmake>=3.26 ninja
STAMP   := $(VENV)/.installed

.PHONY: install demo test clean

$(PY):
	@test -n "$(PYTHON312)" || { echo "CPython 3.12 not found: install it with pyenv or put python3.12 on PATH" >&2; exit 2; }
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

# Rebuilds the extension whenever a source or the build description changes.
$(STAMP): $(PY) pyproject.toml CMakeLists.txt $(wildcard src/cpp/*) $(wildcard src/pellquist/*.py)
	$(PY) -m pip install -q $(BUILD_DEPS)
	$(PY) -m pip install -q --no-build-isolation '.[test]'
	@touch $(STAMP)

install: $(STAMP)

demo: install
	$(VENV)/bin/pellquist demo

test: install
	$(PY) -m pytest

clean:
	rm -rf build $(VENV)
