# The two entry points a newcomer needs are `make demo` and `make test`. Both install what
# they need on a fresh Debian/Ubuntu machine first, into a virtual environment of this checkout
# (.venv, which sees the interpreter's own packages), and skip every step that is up to date:
# the package is built and installed again only when a source file changed since the last
# install, and the C++ core is then recompiled only where its sources changed.
PYTHON ?= python3
VENV ?= .venv
ASAN_DIR ?= build/asan
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

PY := $(VENV)/bin/python
# Everything the installed package is built from (directories too: a file added or removed
# changes its directory).
SOURCES := $(shell find sigmora tidewell src -name __pycache__ -prune -o \( -type d -o -type f \
             ! -name '*.so' ! -name '*.pyc' \) -print 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: system-deps venv install build test demo asan-test bench clean

# Eigen for the core's least squares; a CJK font so industry names render in charts. apt waits
# for a lock another process holds (e.g. unattended upgrades) instead of failing.
APT_PACKAGES = libeigen3-dev g++ make fonts-wqy-microhei
APT_GET = $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 -o Acquire::Retries=3
system-deps:
	@if ! dpkg -s $(APT_PACKAGES) >/dev/null 2>&1; then \
	  $(APT_GET) update -qq && $(APT_GET) install -y -qq $(APT_PACKAGES) >/dev/null; fi

$(PY):
	$(PYTHON) -m venv --system-site-packages $(VENV)

venv: $(PY)

# The build tools, in the environment itself: builds run without pip's build isolation, so
# every install reuses the same tool paths and the same CMake build directory.
$(VENV)/.build-tools: $(PY)
	$(PY) -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" "cmake>=3.18" ninja
	@touch $@

# The package (a release build of the core) with its runtime and test dependencies. A core
# left in the source tree by an earlier in-place build would be packed beside the new one: gone.
$(VENV)/.installed: $(VENV)/.build-tools $(SOURCES) | system-deps
	rm -f sigmora/_core*.so
	flock $(VENV)/.lock $(PY) -m pip install -q --no-build-isolation ".[test]"
	@touch $@

install: $(VENV)/.installed
build: install

# The tests import the installed package, never the checkout (see tests/conftest.py).
test: install
	$(PY) -m pytest

demo: install
	$(VENV)/bin/sigmora demo

# The same suite against a core built with AddressSanitizer + UBSan, installed into a folder of
# its own that comes first on the path; the release install stays as it is.
asan-test: install
	rm -rf $(ASAN_DIR)/site
	$(PY) -m pip install -q --no-build-isolation --no-deps --target $(ASAN_DIR)/site \
	  -C build-dir=$(ASAN_DIR)/cmake -C cmake.build-type=RelWithDebInfo -C cmake.define.SIGMORA_SANITIZE=ON .
	PYTHON=$(PY) sh .ci/asan-pytest $(ASAN_DIR)/site

bench: install
	for f in benchmarks/bench_*.py; do $(PY) $$f || exit 1; done

clean:
	rm -rf build dist wheelhouse sigmora/_core*.so sigmora/_core.pyi
