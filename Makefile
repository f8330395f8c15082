# The two everyday commands are `make demo` and `make test`; both work on a fresh Debian machine.
#
#   make demo       builds the programs and shows them at work in a throw-away home directory
#   make test       builds everything with warnings as errors and runs every test suite
#   make install    installs the programs (PREFIX=/usr/local, DESTDIR honoured); make uninstall
#   make package    a Debian package in build/package (apt install ./build/package/tarvel_*.deb)
SHELL := /bin/bash
.DEFAULT_GOAL := build
BUILD_DIR ?= build
DEV_DIR ?= build/dev
ASAN_DIR ?= build/asan
PACKAGE_DIR ?= build/package
PREFIX ?= /usr/local
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# What building and running the programs needs (tmux also hosts the demo).
PROGRAM_PACKAGES := cmake g++ make ninja-build pkg-config ccache tmux \
            nlohmann-json3-dev libutf8proc-dev uuid-dev libtomlplusplus-dev \
            libmicrohttpd-dev libcurl4-openssl-dev libsystemd-dev libsqlite3-dev libsimdjson-dev \
            libqrencode-dev libpng-dev libgnutls28-dev
# What the tests, benchmarks and the package checks need besides.
TEST_PACKAGES := git dbus python3-dbusmock chromium python3 curl \
            libgtest-dev libgmock-dev libbenchmark-dev man-db groff-base dpkg-dev \
            openssh-server openssh-client bubblewrap zsh zbar-tools openssl nodejs
# Compiler cache entries that do not depend on where the clone lives, so a fresh clone reuses them.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# The programs build as a few large units (a third of the time on two cores); tests build file by
# file, so a fault in one file shows where it is.
PROGRAM_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_UNITY_BUILD=ON \
            -DTARVEL_TESTS=OFF -DTARVEL_BENCHMARKS=OFF -DTARVEL_WERROR=OFF
DEV_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DTARVEL_TESTS=ON -DTARVEL_BENCHMARKS=ON -DTARVEL_WERROR=ON

.PHONY: deps deps-test configure build dev-build test test-release test-asan test-install demo \
        install uninstall package bench fuzz clean integration

# Installs only what is missing; says nothing when everything is there.
define install_missing
@missing=""; \
for p in $(1); do \
  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
done; \
if [ -n "$$missing" ]; then \
  echo "Installing:$$missing"; \
  $(SUDO) apt-get update -qq && \
  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
fi
endef

deps:
	$(call install_missing,$(PROGRAM_PACKAGES))

deps-test:
	$(call install_missing,$(PROGRAM_PACKAGES) $(TEST_PACKAGES))

configure: deps
	@cmake -S . -B $(BUILD_DIR) $(PROGRAM_FLAGS) -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null

# The programs only, with one progress line instead of the build log.
build: configure
	@bash cmake/quiet-build.sh $(BUILD_DIR) $(JOBS) "Building the programs"

demo: build
	@bash Sources/Tools/demo/demo.sh $(BUILD_DIR)/bin

# The folders that did not exist before are listed in install_folders.txt, for uninstall.
install: build
	@root="$(DESTDIR)$(PREFIX)"; before=$$(mktemp); \
	if [ -d "$$root" ]; then find "$$root" -type d | sort >"$$before"; fi; \
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix $(PREFIX) --strip >/dev/null && \
	{ find "$$root" -type d | sort | comm -13 "$$before" - >>$(BUILD_DIR)/install_folders.txt; \
	  sort -u -o $(BUILD_DIR)/install_folders.txt $(BUILD_DIR)/install_folders.txt; }; \
	status=$$?; rm -f "$$before"; exit $$status
	@echo "Installed into $(DESTDIR)$(PREFIX) ($$(grep -c '' $(BUILD_DIR)/install_manifest.txt) files)."

# Removes the files the last `make install` of this build wrote, then the folders it created
# once they are empty (deepest first); folders that were there before stay.
uninstall:
	@[ -f $(BUILD_DIR)/install_manifest.txt ] || { echo "Nothing to uninstall: no make install was run from $(BUILD_DIR)." >&2; exit 1; }
	@while IFS= read -r file || [ -n "$$file" ]; do rm -f -- "$(DESTDIR)$$file"; done <$(BUILD_DIR)/install_manifest.txt
	@if [ -f $(BUILD_DIR)/install_folders.txt ]; then \
	  sort -r $(BUILD_DIR)/install_folders.txt | while IFS= read -r folder; do \
	    rmdir -- "$$folder" 2>/dev/null || true; done; \
	fi
	@echo "Removed $$(grep -c '' $(BUILD_DIR)/install_manifest.txt) files."
	@rm -f $(BUILD_DIR)/install_manifest.txt $(BUILD_DIR)/install_folders.txt

package: deps
	$(call install_missing,dpkg-dev)
	@cmake -S . -B $(PACKAGE_DIR) $(PROGRAM_FLAGS) -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
	@bash cmake/quiet-build.sh $(PACKAGE_DIR) $(JOBS) "Building the programs for the package"
	@cd $(PACKAGE_DIR) && cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }
	@ls $(PACKAGE_DIR)/tarvel_*.deb

dev-build: deps-test
	@cmake -S . -B $(DEV_DIR) $(DEV_FLAGS) >/dev/null
	@cmake --build $(DEV_DIR) -j $(JOBS)

test-release: dev-build
	ctest --test-dir $(DEV_DIR) --output-on-failure -j $(JOBS)

test-asan: deps-test
	@cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVEL_SANITIZE=ON \
	  -DTARVEL_TESTS=ON -DTARVEL_BENCHMARKS=OFF -DTARVEL_WERROR=ON >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

# The installed tree and the Debian package, as a user gets them.
test-install: deps-test build
	@bash Tests/Install/install_test.sh

test: test-release test-asan test-install

bench: dev-build
	@bash Benchmarks/run.sh $(DEV_DIR)/bin

fuzz: deps-test
	@$(SUDO) true; dpkg-query -W -f='$${Status}\n' clang 2>/dev/null | grep -q 'ok installed' || \
	  (DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq clang libclang-rt-14-dev >/dev/null)
	@cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEL_FUZZ=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DTARVEL_WERROR=ON >/dev/null
	@cmake --build build/fuzz -j $(JOBS)
	@bash Fuzz/run.sh build/fuzz/bin $${FUZZ_SECONDS:-60}

# Against the real Codex program (npm package @openai/codex, installed into build/integration/).
integration: dev-build
	@bash Tests/Integration/codex-titles.sh $(DEV_DIR)

clean:
	rm -rf $(BUILD_DIR)
