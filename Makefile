# Front door: `make` (release build), `make test`, `make demo`, `make install`,
# `make deb`, `make bench`, `make deps`.

# Debian packages, by what needs them: building the programs; the tests
# (sanitizers, Valgrind, fuzzing, an outside XML corpus, the units and rules
# checked with systemd's and udev's own tools); the Debian packages and
# booting them in a container; the benchmarks.
BUILD_PACKAGES := g++ make cmake pkg-config libtinyxml-dev
TEST_PACKAGES := $(BUILD_PACKAGES) libgtest-dev clang libclang-rt-14-dev valgrind \
                 shared-mime-info fontconfig-config systemd man-db udev umockdev jq prometheus
DEB_PACKAGES := $(TEST_PACKAGES) debhelper dpkg-dev lintian systemd-container logrotate \
                prometheus-node-exporter curl
BENCH_PACKAGES := $(BUILD_PACKAGES) libbenchmark-dev valgrind
PACKAGES ?= $(TEST_PACKAGES)
BUILD    := build
JOBS     := $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
PREFIX   ?= /usr/local
STANDIN  ?= OFF
FUZZ_SECONDS ?= 60
FUZZERS := xml depth config

.PHONY: all release install bench test sanitize memcheck fuzz system deb deps demo clean

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

# Every test under AddressSanitizer/UBSan, then the end-to-end and library
# tests under Valgrind memcheck, then each fuzzer for a few seconds, then the
# Debian packages under a real systemd in a container.
test:
	$(MAKE) --no-print-directory deps PACKAGES="$(TEST_PACKAGES)"
	$(MAKE) --no-print-directory sanitize
	$(MAKE) --no-print-directory memcheck
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=10
	$(MAKE) --no-print-directory system

# Builds the packages, then boots them in a container over a throwaway
# overlay of this machine's root (skipped, with the reason, where it cannot).
system: deb
	tests/system_test.sh $(BUILD)/deb

sanitize:
	$(MAKE) --no-print-directory deps PACKAGES="$(TEST_PACKAGES)"
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DQMX4_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/test -j $(JOBS)
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS)

memcheck:
	$(MAKE) --no-print-directory deps PACKAGES="$(TEST_PACKAGES)"
	cmake -S . -B $(BUILD)/memcheck -DCMAKE_BUILD_TYPE=Debug -DQMX4_MEMCHECK=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/memcheck -j $(JOBS)
	cd $(BUILD)/memcheck && ctest --output-on-failure -j $(JOBS)

# libFuzzer targets (clang), each run for FUZZ_SECONDS from the seed corpus.
fuzz:
	$(MAKE) --no-print-directory deps PACKAGES="$(TEST_PACKAGES)"
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz -DCMAKE_BUILD_TYPE=Debug -DQMX4_FUZZ=ON \
	  -DQMX4_SANITIZE=ON -DQMX4_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD)/fuzz -j $(JOBS)
	@for t in $(FUZZERS); do \
	  mkdir -p $(BUILD)/fuzz/corpus-$$t && \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s" && \
	  $(BUILD)/fuzz/fuzz/$${t}_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 \
	    -print_final_stats=1 -artifact_prefix=$(BUILD)/fuzz/$$t- \
	    $(BUILD)/fuzz/corpus-$$t fuzz/corpus 2>$(BUILD)/fuzz/$$t.log \
	  || { tail -n 60 $(BUILD)/fuzz/$$t.log; exit 1; }; \
	  grep -h "number_of_executed_units" $(BUILD)/fuzz/$$t.log; \
	done

# Runs the downloader twice on a copy of example/ against the stand-in
# library: the first run configures a device, the second finds nothing to do.
demo: release
	rm -rf $(DEMO) && cp -r example $(DEMO)
	@for run in 1 2; do \
	  echo "=== run $$run: qmx4-fwload in $(DEMO)"; \
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
	rm -rf $(BUILD)/deb && mkdir -p $(BUILD)/deb/src
	tar -c --exclude=./$(BUILD) --exclude=./.git . | tar -x -C $(BUILD)/deb/src
	cd $(BUILD)/deb/src && dpkg-buildpackage -us -uc -b >../build.log 2>&1 || { tail -n 40 ../build.log; exit 1; }
	lintian --fail-on error,warning $(BUILD)/deb/*.changes
	@ls $(BUILD)/deb/*.deb

# Installs the Debian packages a target needs (PACKAGES), only those that are
# missing. Without apt it installs nothing and leaves it to CMake to say
# what is missing.
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
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	elif command -v sudo >/dev/null 2>&1; then \
	  sudo apt-get update -qq && sudo DEBIAN_FRONTEND=noninteractive apt-get install -y $$missing; \
	else \
	  echo "Please run as root: apt-get install -y$$missing"; exit 1; \
	fi

clean:
	rm -rf $(BUILD)
