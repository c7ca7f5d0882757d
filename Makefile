# The two commands of the README:
#   make run   installs what is missing, builds, and runs the demo on a virtual board
#   make test  installs what is missing, builds twice (as for users, and with
#              AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both,
#              cross-builds for 64-bit Windows (MinGW-w64) and runs the device-side tests
#              and the tool's checks under Wine, cross-builds for 64-bit Arm (without the
#              image-file libraries) and runs the bit-plane and device-side tests under
#              qemu-aarch64, then runs each fuzz target for a bounded
#              time (clang, libFuzzer) and the thread tests under ThreadSanitizer
# Debian 12 packages. Building and running need BUILD_PACKAGES only (`make build`,
# `make run`); the tests, the sanitizer, fuzz, Windows and ARM builds and the
# reference add TEST_PACKAGES (`make test`, `make docs`).
BUILD_PACKAGES := cmake ninja-build g++ pkg-config \
  libopencv-dev libusb-1.0-0-dev libcli11-dev nlohmann-json3-dev help2man \
  python3 python3-numpy libcpp-httplib-dev
TEST_PACKAGES := ccache clang-format libfreeimage-dev libgtest-dev libgmock-dev googletest libbenchmark-dev \
  clang libclang-rt-14-dev umockdev libumockdev-dev xvfb xauth x11-utils \
  python3-pytest python3-venv python3-pip python3-setuptools python3-wheel \
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 \
  libz-mingw-w64-dev nasm libpng-dev libjpeg62-turbo-dev libtiff-dev zip unzip \
  qemu-user g++-aarch64-linux-gnu doxygen \
  chromium chromium-driver python3-selenium

BUILD       ?= build/release
BUILD_ASAN  ?= build/asan
BUILD_FUZZ  ?= build/fuzz
BUILD_TSAN  ?= build/tsan
BUILD_WIN   ?= build/windows
BUILD_WIN32 ?= build/windows32
DIST        ?= dist
BUILD_ARM   ?= build/arm64
# Seconds each fuzz target runs in `make test-fuzz`, and how many run at once.
FUZZ_SECONDS ?= 45
FUZZ_JOBS    ?= 2
JOBS        ?= $(shell nproc)
SUDO        := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
# Warnings are errors in every build made here (the project's own code);
# a plain cmake build leaves them warnings. WERROR=OFF lets a newer compiler's
# new warning through.
WERROR      ?= ON
CMAKE_FLAGS ?=
override CMAKE_FLAGS += -DVEK_WERROR=$(WERROR)
# ccache, where installed (a test package), keeps compiled objects outside the
# clone, keyed by content and by paths relative to the checkout: a second
# `make test`, in this clone or a fresh one, recompiles only what changed.
CCACHE := $(shell command -v ccache 2>/dev/null)
ifneq ($(CCACHE),)
override CMAKE_FLAGS += -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE)
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
endif

.PHONY: windows-configure build-windows32 dist-windows test-dist-windows all deps test-deps docs build build-asan build-fuzz build-tsan build-windows run test test-release test-asan \
  test-fuzz test-tsan test-windows build-arm test-arm bench clean format check-format

all: build

# Installs the packages of $(1) that are missing.
define install_missing
	@missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install_missing,$(BUILD_PACKAGES))

test-deps: deps
	$(call install_missing,$(TEST_PACKAGES))

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

$(BUILD_ASAN)/build.ninja:
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=ON -DVEK_BUILD_BENCH=OFF $(CMAKE_FLAGS)

$(BUILD_FUZZ)/build.ninja:
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVEK_BUILD_FUZZ=ON -DVEK_BUILD_TESTS=OFF -DVEK_BUILD_BENCH=OFF $(CMAKE_FLAGS)

# The Windows builds' image dependencies (OpenCV and its codecs, static), cross-built
# from Debian's sources once, then taken from the cache outside the clone: the
# prefixes of both architectures, 64-bit first.
WINDOWS_DEPS = tools/windows/build-image-deps.sh x86_64 i686

# Configured at every build: the dependencies' prefix changes with their versions.
windows-configure: test-deps
	@prefixes=$$($(WINDOWS_DEPS)) && set -- $$prefixes && \
	cmake -S . -B $(BUILD_WIN) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_IMAGE_SUPPORT=ON -DVEK_WINDOWS_DEPS=$$1 -DVEK_WINDOWS_DEPS_I686=$$2 \
	  $(CMAKE_FLAGS)

$(BUILD_ARM)/build.ninja:
	cmake -S . -B $(BUILD_ARM) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/aarch64-linux-gnu.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_IMAGE_SUPPORT=OFF $(CMAKE_FLAGS)

$(BUILD_TSAN)/build.ninja:
	cmake -S . -B $(BUILD_TSAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEK_TSAN=ON -DVEK_BUILD_BENCH=OFF $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: test-deps $(BUILD_ASAN)/build.ninja
	cmake --build $(BUILD_ASAN) -j $(JOBS)

# The virtual board as the platform layer's device setup and driver requests see it,
# then the demo: the road of a typical use on it.
run: build
	$(BUILD)/tools/sim-probe/vek-sim-probe
	$(BUILD)/tools/vek/vek demo --out demo-output

# The release build again, configured now that the test packages are there
# (a build made by `make build` before them has left the tests out).
test-release: test-deps build
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(BUILD_ASAN) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:verify_asan_link_order=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

build-windows: windows-configure
	cmake --build $(BUILD_WIN) -j $(JOBS)

# The 32-bit library and programs of the release (the tests' 32-bit checks build
# the library alone, in $(BUILD_WIN)/windows32-library).
build-windows32: test-deps
	@prefixes=$$($(WINDOWS_DEPS)) && set -- $$prefixes && \
	cmake -S . -B $(BUILD_WIN32) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64-i686.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEK_IMAGE_SUPPORT=ON -DVEK_WINDOWS_DEPS=$$2 -DVEK_BUILD_TESTS=OFF \
	  $(CMAKE_FLAGS)
	cmake --build $(BUILD_WIN32) --target vek_dll vek vek-selftest -j $(JOBS)

# The Windows release: $(DIST)/vek-<version>-win64.zip and -win32.zip.
dist-windows: build-windows build-windows32
	tools/windows/make-dist.sh $(BUILD_WIN) win64 $(DIST)
	tools/windows/make-dist.sh $(BUILD_WIN32) win32 $(DIST)

# The 64-bit zip unpacked into a fresh Wine prefix: the demo and the self-test run.
test-dist-windows: dist-windows
	tools/windows/test-dist.sh $(DIST)/vek-$$(sed -n 's/^project(vek VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)-win64.zip

# The tests under Wine, then the image functions' outputs for the same inputs
# on Linux and under Wine, which must be the same byte for byte.
test-windows: build-windows
	tools/windows/run-tests.sh $(BUILD_WIN) -j $(JOBS)
	tools/windows/compare-image-outputs.sh $(BUILD) $(BUILD_WIN)

build-arm: test-deps $(BUILD_ARM)/build.ninja
	cmake --build $(BUILD_ARM) -j $(JOBS)

# Each test program under qemu-aarch64, bounded like the Windows run.
test-arm: build-arm
	cd $(BUILD_ARM) && ctest --output-on-failure --timeout 300 -j $(JOBS)

build-fuzz: test-deps $(BUILD_FUZZ)/build.ninja
	cmake --build $(BUILD_FUZZ) --target fuzz_targets -j $(JOBS)

test-fuzz: build-fuzz
	fuzz/run_bounded.sh $(BUILD_FUZZ) $(FUZZ_SECONDS) $(FUZZ_JOBS)

# Only the thread tests are built with ThreadSanitizer: the thread test on the
# virtual board, and two boards on two threads through the libusb backend on
# the emulated bus.
build-tsan: test-deps $(BUILD_TSAN)/build.ninja
	cmake --build $(BUILD_TSAN) --target reliability_threads_test libusb_backend_test -j $(JOBS)

test-tsan: build-tsan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(BUILD_TSAN)/tests/reliability_threads_test
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/libusb/tsan.supp umockdev-wrapper \
	  $(BUILD_TSAN)/tests/libusb/libusb_backend_test --gtest_filter='EmulatedOnly.TwoBoardsOnTwoThreads'


test: check-format test-release test-asan test-windows test-dist-windows test-arm test-fuzz test-tsan

# The C and C++ sources in the project's style (.clang-format): `format` applies it,
# `check-format` (part of `make test`) fails on any source that differs.
FORMATTED = $(shell git ls-files '*.c' '*.cpp' '*.h' '*.hpp')
format:
	clang-format -i $(FORMATTED)

check-format: test-deps
	@clang-format --dry-run -Werror $(FORMATTED) && echo "check-format: $(words $(FORMATTED)) sources follow .clang-format"

# The C reference (Doxygen HTML) in $(BUILD)/docs/html: the build packages and
# Doxygen only (not the test tool set).
DOCS_PACKAGES := doxygen
docs: deps $(BUILD)/build.ninja
	$(call install_missing,$(DOCS_PACKAGES))
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) --target docs

clean:
	rm -rf build $(DIST)
