# The two commands of the README:
#   make run   installs what is missing, builds, and runs the demo on a virtual board
#   make test  installs what is missing, builds twice (as for users, and with
#              AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both
# Debian 12 packages the build, the tests and the tools need.
PACKAGES := cmake ninja-build g++ clang libclang-rt-14-dev pkg-config \
  libgtest-dev libgmock-dev libbenchmark-dev \
  libopencv-dev libfreeimage-dev libusb-1.0-0-dev umockdev libumockdev-dev \
  libcli11-dev nlohmann-json3-dev python3 python3-numpy python3-pytest xvfb xauth x11-utils

BUILD       ?= build/release
BUILD_ASAN  ?= build/asan
JOBS        ?= $(shell nproc)
SUDO        := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
CMAKE_FLAGS ?=

.PHONY: all deps build build-asan run test test-release test-asan bench clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing: $$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

$(BUILD_ASAN)/build.ninja:
	cmake -S . -B $(BUILD_ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVEK_SANITIZE=ON -DVEK_BUILD_BENCH=OFF $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(BUILD_ASAN)/build.ninja
	cmake --build $(BUILD_ASAN) -j $(JOBS)

run: build
	$(BUILD)/tools/vek/vek demo --out demo-output

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(BUILD_ASAN) && \
	  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:verify_asan_link_order=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

test: test-release test-asan

clean:
	rm -rf build
