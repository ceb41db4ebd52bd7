# Front door: `make` (release build), `make test`, `make demo`, `make deps`.

PACKAGES := g++ make cmake pkg-config libtinyxml-dev libgtest-dev
BUILD    := build
JOBS     := $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all release test deps demo clean

all: release

release: deps
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build $(BUILD)/release -j $(JOBS)

test: deps
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DQMX4_SANITIZE=ON $(CMAKE_FLAGS)
	cmake --build $(BUILD)/test -j $(JOBS)
	cd $(BUILD)/test && ctest --output-on-failure -j $(JOBS)

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
