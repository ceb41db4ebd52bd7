# Front door: `make` (release build), `make check`, `make test`, `make demo`,
# `make install`, `make deb`, `make bench`, `make deps`.

# Debian packages, by what needs them, each named alike on Debian 12 and 13:
# building the programs; the quick suites; the rest of the tests
# (sanitizer runtime for fuzzing, Valgrind, the metrics parser); the system
# tests (containers booted with nspawn, a Debian 13 root made with
# mmdebstrap); the benchmarks. The Debian packages' own build needs are
# debian/control's Build-Depends, which `make deb` installs from there.
# None of these starts a network service on the machine that installs it.
BUILD_PACKAGES := g++ make cmake pkg-config libtinyxml-dev libcli11-dev libelf-dev nettle-dev libsystemd-dev
CHECK_PACKAGES := $(BUILD_PACKAGES) libgtest-dev shared-mime-info fontconfig-config systemd man-db udev \
                  umockdev jq python3-minimal
TEST_PACKAGES := $(CHECK_PACKAGES) clang libclang-rt-dev valgrind python3-prometheus-client nlohmann-json3-dev attr
DEB_PACKAGES := dpkg-dev lintian
SYSTEM_PACKAGES := systemd-container logrotate curl mmdebstrap
BENCH_PACKAGES := $(BUILD_PACKAGES) libbenchmark-dev valgrind
PACKAGES ?= $(TEST_PACKAGES)
BUILD    := build
JOBS     := $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
PREFIX   ?= /usr/local
STANDIN  ?= OFF
FUZZ_SECONDS ?= 60
FUZZERS := xml depth config check_json elf

.PHONY: all release install bench check test test-stages sanitize sanitize-build memcheck fuzz system test-debian13 deb deps \
        deps-deb demo clean

DEMO := $(BUILD)/demo

all: release

release:
	$(MAKE) --no-print-directory deps PACKAGES="$(BUILD_PACKAGES)"
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DQMX4_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX) -DQMX4_INSTALL_STANDIN=$(STANDIN) $(CMAKE_FLAGS)
	cmake --build $(BUILD)/release -j $(JOBS)

# Installs the release build under $(DESTDIR)$(PREFIX); the stand-in library
# only with STANDIN=ON.
install: release
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)/release

# The quick loop: the unit and end-to-end suites under AddressSanitizer and
# UBSan, without the tests labelled slow.
check:
	$(MAKE) --no-print-directory deps PACKAGES="$(CHECK_PACKAGES)"
	$(MAKE) --no-print-directory sanitize-build
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS) -L quick

# Everything, each stage timed: every test under the sanitizers, the
# end-to-end and library tests under Valgrind memcheck, each fuzzer for a
# few seconds, the Debian packages under a real systemd in a container, and
# the whole path of a new user on a fresh Debian 13. The stages run under
# the host guard (tests/host_guard.sh), which reports afterwards, whether
# they passed or not, anything they created, rewrote or removed on this
# machine, and fails then.
TEST_STAGES := sanitize memcheck fuzz system test-debian13
test:
	$(MAKE) --no-print-directory deps PACKAGES="$(TEST_PACKAGES) $(DEB_PACKAGES) $(SYSTEM_PACKAGES)"
	$(MAKE) --no-print-directory deps-deb
	mkdir -p $(BUILD) && tests/host_guard.sh $(BUILD)/host-guard.txt $(MAKE) --no-print-directory test-stages

test-stages:
	@rm -f $(BUILD)/stages.txt; for stage in $(TEST_STAGES); do \
	  start=$$(date +%s); \
	  $(MAKE) --no-print-directory $$stage FUZZ_SECONDS=10 || exit 1; \
	  echo "stage $$stage: $$(( $$(date +%s) - start )) s" | tee -a $(BUILD)/stages.txt; \
	done

sanitize-build:
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DQMX4_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/test -j $(JOBS)

sanitize:
	$(MAKE) --no-print-directory deps PACKAGES="$(CHECK_PACKAGES)"
	$(MAKE) --no-print-directory sanitize-build
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS)

memcheck:
	$(MAKE) --no-print-directory deps PACKAGES="$(TEST_PACKAGES)"
	cmake -S . -B $(BUILD)/memcheck -DCMAKE_BUILD_TYPE=Debug -DQMX4_MEMCHECK=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/memcheck -j $(JOBS)
	cd $(BUILD)/memcheck && ctest --output-on-failure -j $(JOBS)

# libFuzzer targets (clang), each run for FUZZ_SECONDS from the seed corpus;
# their scratch directories go to $(BUILD)/fuzz/tmp, removed after each.
fuzz:
	$(MAKE) --no-print-directory deps PACKAGES="$(TEST_PACKAGES)"
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=Debug -DQMX4_FUZZ=ON \
	  -DQMX4_SANITIZE=ON -DQMX4_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	@for t in $(FUZZERS); do \
	  mkdir -p $(BUILD)/fuzz/corpus-$$t $(BUILD)/fuzz/tmp && \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s" && \
	  TMPDIR=$(abspath $(BUILD)/fuzz/tmp) $(BUILD)/fuzz/fuzz/$${t}_fuzzer -max_total_time=$(FUZZ_SECONDS) \
	    -max_len=4096 -timeout=10 -print_final_stats=1 -artifact_prefix=$(BUILD)/fuzz/$$t- \
	    $(BUILD)/fuzz/corpus-$$t fuzz/corpus 2>$(BUILD)/fuzz/$$t.log; \
	  status=$$?; rm -rf $(BUILD)/fuzz/tmp; \
	  [ $$status = 0 ] || { tail -n 60 $(BUILD)/fuzz/$$t.log; exit 1; }; \
	  grep -h "number_of_executed_units" $(BUILD)/fuzz/$$t.log; \
	done

# Builds the packages, then boots them in a container over a throwaway
# overlay of this machine's root (skipped, with the reason, where it cannot),
# with the release build's variants of the stand-in that have the traits of
# closed libraries.
system: deb release
	$(MAKE) --no-print-directory deps PACKAGES="$(TEST_PACKAGES) $(SYSTEM_PACKAGES)"
	cmake --build $(BUILD)/release --target closedlibs -j $(JOBS)
	tests/system_test.sh $(BUILD)/deb $(BUILD)/release/tests/closedlib

# A new user's path on a fresh Debian 13 root made with mmdebstrap (cached
# in /var/cache/qmx4-fwload-tests, made again once a week): make demo, the
# quick suites and make deb there, then the packages booted in that root
# serve an arrival. Outside CI it is skipped where the archive is out of
# reach.
test-debian13:
	$(MAKE) --no-print-directory deps PACKAGES="$(SYSTEM_PACKAGES)"
	tests/debian13_test.sh

# Runs the downloader twice on a copy of example/ against the stand-in
# library, each time after what the companion predicts: the first run
# configures a device, the second finds nothing to do.
demo: release
	rm -rf $(DEMO) && cp -r example $(DEMO)
	@for run in 1 2; do \
	  echo "=== run $$run: qmx4-fwctl list, then qmx4-fwload, in $(DEMO)"; \
	  (cd $(DEMO) && ../release/qmx4-fwctl list --table --lock-dir "$$PWD/locks" .); \
	  echo "--- qmx4-fwload"; \
	  (cd $(DEMO) && QMX4SIM_JOURNAL=journal.txt ../release/qmx4-fwload); status=$$?; \
	  echo "--- service.log"; cat $(DEMO)/service.log; \
	  echo "--- library journal (journal.txt)"; cat $(DEMO)/journal.txt; \
	  echo "--- exit status: $$status"; echo; \
	  rm -f $(DEMO)/journal.txt; \
	done

# Benchmarks of a Release build: the XML model against TinyXML, and the
# program as a process; the ratios land in build/bench/bench-results/summary.md.
bench:
	$(MAKE) --no-print-directory deps PACKAGES="$(BENCH_PACKAGES)"
	cmake -S . -B $(BUILD)/bench -DCMAKE_BUILD_TYPE=Release -DQMX4_TESTS=OFF -DQMX4_BENCH=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/bench -j $(JOBS)
	bench/run.sh $(BUILD)/bench

# The Debian packages qmx4-fwload and qmx4-fwload-standin in $(BUILD)/deb,
# built from a copy of the source tree and checked with lintian.
deb:
	$(MAKE) --no-print-directory deps PACKAGES="$(DEB_PACKAGES)"
	$(MAKE) --no-print-directory deps-deb
	rm -rf $(BUILD)/deb && mkdir -p $(BUILD)/deb/src
	tar -c --exclude=./$(BUILD) --exclude=./.git . | tar -x -C $(BUILD)/deb/src
	cd $(BUILD)/deb/src && dpkg-buildpackage -us -uc -b >../build.log 2>&1 || { tail -n 40 ../build.log; exit 1; }
	mkdir -p $(BUILD)/deb/tmp && TMPDIR=$(abspath $(BUILD)/deb/tmp) lintian --fail-on error,warning $(BUILD)/deb/*.changes
	@ls $(BUILD)/deb/*.deb

# Installs the Debian packages a target needs (PACKAGES), only those that are
# missing, without the packages they merely recommend. Without apt it
# installs nothing and leaves it to CMake to say what is missing.
APT_INSTALL := DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends
deps:
	@if ! command -v apt-get >/dev/null 2>&1 || ! command -v dpkg-query >/dev/null 2>&1; then \
	  echo "No apt-get/dpkg-query here: install the equivalents of these Debian packages yourself: $(PACKAGES)"; \
	  exit 0; \
	fi; \
	missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -z "$$missing" ]; then exit 0; fi; \
	echo "Installing missing packages:$$missing"; \
	if [ "$$(id -u)" = 0 ]; then \
	  apt-get update -qq && $(APT_INSTALL) $$missing; \
	elif command -v sudo >/dev/null 2>&1; then \
	  sudo apt-get update -qq && sudo $(APT_INSTALL) $$missing; \
	else \
	  echo "Please run as root: apt-get install -y$$missing"; exit 1; \
	fi

# Installs debian/control's Build-Depends where they are not met, exactly as
# they are written there (apt picks the alternative this release has).
deps-deb:
	@if ! command -v dpkg-checkbuilddeps >/dev/null 2>&1 || dpkg-checkbuilddeps >/dev/null 2>&1; then exit 0; fi; \
	echo "Installing the Build-Depends of debian/control"; \
	if [ "$$(id -u)" = 0 ]; then \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get build-dep -y --no-install-recommends ./; \
	else \
	  sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get build-dep -y --no-install-recommends ./; \
	fi

clean:
	rm -rf $(BUILD)
