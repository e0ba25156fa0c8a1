# The two commands of the README:
#   make run    installs what is missing, builds, and runs Noctave
#   make test   installs what is missing, builds, and runs every test
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

# Let ccache share results between clones of the repository on the same machine.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: deps configure build run test test-core sanitize tsan format tidy bench clean package

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_CXX_COMPILER_LAUNCHER=ccache $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The Debian package, $(BUILD_DIR)/noctave_<version>_<arch>.deb, and the RPM of the same files,
# $(BUILD_DIR)/noctave-<version>-1.<arch>.rpm: installed under /usr whatever the build's prefix,
# and built from only what it installs (cmake/Package.cmake, packaging/).
package: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target noctave noctave_icons noctave_manpage
	@cd $(BUILD_DIR) && cpack -G "DEB;RPM"

# Every test under AddressSanitizer + UndefinedBehaviorSanitizer, the shell and the programs the
# tests start included. SANITIZE_LABEL=core narrows it to the core.
SANITIZE_LABEL ?= .
sanitize: deps
	@cmake -S . -B build-asan -G Ninja -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_BUILD_TYPE=Debug \
	  -DNOCTAVE_SANITIZE=ON -DNOCTAVE_CORE_ONLY=OFF -DNOCTAVE_BUILD_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ctest --output-on-failure -j $(JOBS) -L '$(SANITIZE_LABEL)'

# Every test under ThreadSanitizer, the shell and the programs the tests start included.
# TSAN_LABEL=core narrows it to the core.
TSAN_LABEL ?= .
tsan: deps
	@cmake -S . -B build-tsan -G Ninja -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_BUILD_TYPE=Debug \
	  -DNOCTAVE_TSAN=ON -DNOCTAVE_CORE_ONLY=OFF -DNOCTAVE_BUILD_BENCH=OFF $(CMAKE_FLAGS) >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && ctest --output-on-failure -j $(JOBS) -L '$(TSAN_LABEL)'

format:
	@git ls-files '*.cpp' '*.hpp' | xargs clang-format -i

# clang-tidy over every source; TIDY_BASE=<commit> checks only what changed since that commit.
TIDY_BASE ?=
tidy: configure
	@scripts/tidy.sh $(BUILD_DIR) $(TIDY_BASE)

bench: build
	@for b in $(BUILD_DIR)/bench/noctave_bench_*; do [ -x "$$b" ] && "$$b"; done

clean:
	@rm -rf $(BUILD_DIR) build-asan build-tsan
