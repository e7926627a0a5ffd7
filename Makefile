# Top-level entry points for a fresh Debian 12 machine:
#   make check   installs what is missing, builds, runs every test, then builds
#                the example against the installed package
#   make demo    installs what is missing, builds, runs iscsi-inventory on the sample tree
#   make check-vm  builds, then checks the inventory against a real kernel in a VM
#   make check-tsan  the threaded test built with ThreadSanitizer (clang++)
#   make check-all check, check-vm, check-asan, check-tsan and check-fuzz: everything CI runs
#   make fuzz    builds the libFuzzer harnesses with clang and runs each for
#                FUZZ_SECONDS (default 60); make check-fuzz is a 10 s pass
#   make bench   builds and runs the benchmarks (not part of check; tools/bench.sh)
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
PACKAGES   := g++ cmake make pkg-config libsysfs-dev umockdev libgtest-dev libgmock-dev \
              libbenchmark-dev valgrind pciutils sysfsutils clang libclang-rt-14-dev

.PHONY: deps build check check-asan check-tsan check-fuzz check-vm check-all demo bench fuzz clean

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

# libFuzzer harnesses (clang): address grammar, SCSI name split, attribute
# capture.  Each runs FUZZ_SECONDS from a scratch copy of its seed corpus.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSYSFSREADER_FUZZ=ON -DSYSFSREADER_TESTS=OFF -DSYSFSREADER_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_pci fuzz_scsi fuzz_attr
	tools/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

check-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=10

# The inventory on a real kernel iSCSI stack in a qemu VM (downloads Debian's
# kernel, busybox and open-iscsi; about three minutes).  Skips with a message where
# it cannot run.
check-vm: build
	tests/vm/run.sh $(BUILD)

# Everything CI runs.
check-all: check check-vm check-asan check-tsan check-fuzz

demo: build
	@tools/demo.sh $(BUILD)

bench: build
	@tools/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
