# Front door: `make` (release build), `make test`, `make demo`, `make deps`.

PACKAGES := g++ make cmake pkg-config libtinyxml-dev libgtest-dev
BUILD    := build
JOBS     := $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all release test deps demo clean

DEMO := $(BUILD)/demo

all: release

release: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DQMX4_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD)/release -j $(JOBS)

test: deps
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DQMX4_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/test -j $(JOBS)
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS)

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

# Installs the Debian packages the build needs, only those that are missing.
deps:
	@missing=""; \
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
