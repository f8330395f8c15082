# The two everyday commands are `make test` and `make demo`; both work on a fresh Debian machine.
BUILD_DIR ?= build
ASAN_DIR ?= build/asan
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
PACKAGES := cmake g++ make ninja-build pkg-config ccache git tmux \
            nlohmann-json3-dev libutf8proc-dev uuid-dev \
            libmicrohttpd-dev libcurl4-openssl-dev libsystemd-dev \
            dbus python3-dbusmock chromium python3 \
            libgtest-dev libgmock-dev libbenchmark-dev
# Compiler cache entries that do not depend on where the clone lives, so a fresh clone reuses them.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CMAKE_FLAGS := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: deps configure build test test-release test-asan demo bench fuzz clean integration

# Installs only what is missing; says nothing when everything is there.
deps:
	@missing=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing >/dev/null; \
	fi

configure: deps
	@cmake -S . -B $(BUILD_DIR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test-release: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARVEL_SANITIZE=ON \
	  -DTARVEL_BENCHMARKS=OFF >/dev/null
	@cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

test: test-release test-asan

demo: build
	@bash Sources/Tools/demo/demo.sh $(BUILD_DIR)/bin

bench: build
	@bash Benchmarks/run.sh $(BUILD_DIR)/bin

fuzz: deps
	@$(SUDO) true; dpkg-query -W -f='$${Status}\n' clang 2>/dev/null | grep -q 'ok installed' || \
	  (DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq clang libclang-rt-14-dev >/dev/null)
	@cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEL_FUZZ=ON \
	  -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DTARVEL_BENCHMARKS=OFF >/dev/null
	@cmake --build build/fuzz -j $(JOBS)
	@bash Fuzz/run.sh build/fuzz/bin $${FUZZ_SECONDS:-60}

# Against the real Codex program (npm package @openai/codex, installed into build/integration/).
integration: build
	@bash Tests/Integration/codex-titles.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
