# Everything runs inside .venv (Python 3.13), created on first use.
VENV     := .venv
PY       := $(VENV)/bin/python
PIP      := $(PY) -m pip --disable-pip-version-check -q
SOURCES  := $(shell find src -type f) CMakeLists.txt pyproject.toml

.PHONY: demo test install clean

demo: $(VENV)/.installed
	$(PY) examples/demo.py

test: $(VENV)/.installed
	$(PY) -m pytest

install: $(VENV)/.installed

$(PY):
	@interpreter=$$(tools/find-python313) && "$$interpreter" -m venv $(VENV)

$(VENV)/.tools: $(PY) requirements-dev.txt
	$(PIP) install -r requirements-dev.txt
	@touch $@

# Built without isolation so that the CMake build directory is reused and a
# rebuild after a small change only compiles what changed.
$(VENV)/.installed: $(VENV)/.tools $(SOURCES)
	$(PIP) install --no-build-isolation --no-deps .
	@touch $@

clean:
	rm -rf build $(VENV)
