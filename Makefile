# Top-level entry points for a fresh Debian 12 machine:
#   make check   installs what is missing, builds, runs every test, then builds
#                the example against the installed package
#   make demo    installs what is missing, builds, runs iscsi-inventory on the sample tree
#   make check-vm  builds, then checks the inventory against a real kernel in a VM
#   make check-tsan  the threaded test built with ThreadSanitizer (clang++)
#   make check-all check, check-vm, check-asan and check-tsan: everything CI runs
#   make bench   builds and runs the benchmarks (not part of check; tools/bench.sh)
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
PACKAGES   := g++ cmake make pkg-config libsysfs-dev umockdev libgtest-dev libgmock-dev \
              libbenchmark-dev valgrind pciutils sysfsutils clang libclang-rt-14-dev

.PHONY: deps build check check-asan check-tsan check-vm check-all demo bench clean

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j$(JOBS)

check: build
	cd $(BUILD) && ctest --output-on-failure
	tools/check-install.sh $(BUILD)

check-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSYSFSREADER_SANITIZE=ON -DSYSFSREADER_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure

# Only the threaded test is built and run: the others run in one thread.  The
# umockdev preload and ThreadSanitizer's runtime (linked into the test
# program) coexist without options; TSAN_OPTIONS (tests/CMakeLists.txt) makes
# the first report fail the test.
check-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DSYSFSREADER_TSAN=ON \
	  -DSYSFSREADER_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target thread_test
	cd $(TSAN_BUILD) && ctest --output-on-failure -R '^thread_test$$'

# The inventory on a real kernel iSCSI stack in a qemu VM (downloads Debian's
# kernel, busybox and open-iscsi; about a minute).  Skips with a message where
# it cannot run.
check-vm: build
	tests/vm/run.sh $(BUILD)

# Everything CI runs.
check-all: check check-vm check-asan check-tsan

demo: build
	@tools/demo.sh $(BUILD)

bench: build
	@tools/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD)
