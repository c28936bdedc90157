# The two entry points a newcomer needs are `make demo` and `make test`; both install
# what they need on a fresh Debian/Ubuntu machine first.
PYTHON ?= python3
BUILD_DIR ?= build/dev
ASAN_DIR ?= build/asan
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
NANOBIND_DIR = $$($(PYTHON) -m nanobind --cmake_dir)

.PHONY: system-deps deps build test demo asan-test bench clean

# Eigen for the core's least squares; a CJK font so industry names render in charts.
APT_PACKAGES = libeigen3-dev g++ make fonts-wqy-microhei
system-deps:
	@if ! dpkg -s $(APT_PACKAGES) >/dev/null 2>&1; then \
	  $(SUDO) apt-get update -qq && $(SUDO) apt-get install -y -qq $(APT_PACKAGES) >/dev/null; fi

# Installs the package (release build) with its runtime and test dependencies, and the
# build tools the in-tree development build uses.
deps: system-deps
	$(PYTHON) -m pip install -q "scikit-build-core>=0.10" "nanobind>=2.4" "cmake>=3.18" ninja
	$(PYTHON) -m pip install -q ".[test]"

# In-tree build of sigmora/_core for development and tests (flock: one build at a time).
build:
	@mkdir -p $(BUILD_DIR)
	flock $(BUILD_DIR)/.lock sh -c 'cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -Dnanobind_DIR=$(NANOBIND_DIR) -DPython_EXECUTABLE=$$(command -v $(PYTHON)) >/dev/null && \
	  cmake --build $(BUILD_DIR) -j2'

test: deps build
	$(PYTHON) -m pytest

# The same suite against a core built with AddressSanitizer + UBSan; the release module is
# restored afterwards.
asan-test: build
	@mkdir -p $(ASAN_DIR)
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIGMORA_SANITIZE=ON \
	  -Dnanobind_DIR=$(NANOBIND_DIR) -DPython_EXECUTABLE=$$(command -v $(PYTHON)) \
	  -DSIGMORA_MODULE_DIR=$(CURDIR)/$(ASAN_DIR)/module >/dev/null
	cmake --build $(ASAN_DIR) -j2
	PYTHON=$(PYTHON) sh .ci/asan-pytest $(ASAN_DIR)

demo: deps build
	sigmora demo

bench: build
	for f in benchmarks/bench_*.py; do $(PYTHON) $$f || exit 1; done

clean:
	rm -rf build sigmora/_core*.so sigmora/_core.pyi
