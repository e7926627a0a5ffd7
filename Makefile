# SPDX-License-Identifier: MIT
# Top-level entry points for a fresh Debian 12 machine:
#   make check   installs what is missing, builds, runs every test, then builds
#                the example against the installed package
#   make demo    installs what is missing of the few packages it needs, builds the tool
#                alone (no tests, no benchmarks) in build-demo, shows each form of
#                iscsi-inventory on the sample trees (tests/data)
#   make try ARGS='--luns' TREE=multipath  one run of the tool on a sample tree
#   make check-vm  builds, then checks the inventory against real kernels (Debian's 6.1
#                and 6.12) in VMs, one after the other (tests/vm/run.sh)
#   make check-tsan  the threaded test built with ThreadSanitizer (clang++)
#   make deb     builds the Debian packages into build-deb/ and checks them with lintian
#   make check-deb  make deb, then installs the packages with apt, uses them and
#                purges them (needs root or sudo; tools/check-deb.sh)
#   make check-all check, check-vm, check-asan, check-tsan, check-fuzz and
#                check-deb: everything CI runs
#   make fuzz    builds the libFuzzer harnesses with clang and runs each for
#                FUZZ_SECONDS (default 60); make check-fuzz is a 10 s pass
#   make bench   builds and runs the benchmarks (not part of check; tools/bench.sh)
#   make abi-baseline  rewrites the library's ABI baseline (tests/abi/) from the
#                build of make check, for a change of the ABI made on purpose
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
DEB_BUILD  ?= build-deb
DEMO_BUILD ?= build-demo
FUZZ_SECONDS ?= 60
# Warnings fail every build made here (CMake's SYSFSREADER_WERROR, off by
# default for those who build the library with other compilers); WERROR=OFF
# turns that off for one run.
WERROR     ?= ON
JOBS       ?= $(shell nproc)
# What building the library and the tool takes (the tool reads multipath
# maps through libdevmapper), and umockdev, which serves the demo's trees at
# /sys: all that make demo installs.
DEMO_PACKAGES := g++ cmake make pkg-config libsysfs-dev libdevmapper-dev umockdev jq
# The tests, benchmarks, sanitizer and fuzz builds need the rest.
# promtool (Debian's prometheus) checks the --prometheus output and
# prometheus-node-exporter scrapes it; on a machine run by systemd, Debian
# starts both services as it installs them.
PACKAGES   := $(DEMO_PACKAGES) nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev valgrind pciutils time \
              sysfsutils clang libclang-rt-14-dev python3-jsonschema prometheus \
              prometheus-node-exporter abigail-tools strace
# Optional: ansible-core and facter, for the facts-script tests under Ansible
# and Facter, and open-iscsi, whose iscsiadm must agree with the tool on the
# sample tree (each installed by its test in CI as root through
# tests/lib/optional-package.sh, skipped elsewhere when missing).
# Debian's packaging tools; the packages' own build dependencies are read from
# debian/control by tools/build-deb.sh.
DEB_PACKAGES := debhelper dpkg-dev lintian

.PHONY: deps demo-deps deb-deps build try check check-asan check-tsan check-fuzz check-vm check-deb check-all \
        deb demo bench fuzz abi-baseline clean

# Installs those of the packages named that are missing.
define install-missing
	@missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install-missing,$(PACKAGES))

demo-deps:
	$(call install-missing,$(DEMO_PACKAGES))

deb-deps: deps
	$(call install-missing,$(DEB_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYSFSREADER_WERROR=$(WERROR)
	cmake --build $(BUILD) -j$(JOBS)

# The install check runs even when a test failed (it says something of its
# own); make check fails if either did.  The sweeps that run thousands of
# processes (out of memory) take a sample in make check, so that it stays a
# few minutes; make check-all runs them whole (SWEEPS=whole).
SWEEPS ?= sample
check: build
	@status=0; \
	(cd $(BUILD) && SYSFSREADER_SWEEPS=$(SWEEPS) ctest --output-on-failure) || status=1; \
	tools/check-install.sh $(BUILD) || status=1; \
	if [ $$status != 0 ]; then echo "make check: FAILED (see above)" >&2; fi; \
	exit $$status

check-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSYSFSREADER_SANITIZE=ON -DSYSFSREADER_BENCH=OFF \
	  -DSYSFSREADER_WERROR=$(WERROR)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure

# Only the threaded test is built and run: the others run in one thread.  The
# umockdev preload and ThreadSanitizer's runtime (linked into the test
# program) coexist without options; TSAN_OPTIONS (tests/CMakeLists.txt) makes
# the first report fail the test.
check-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug -DSYSFSREADER_TSAN=ON \
	  -DSYSFSREADER_BENCH=OFF -DSYSFSREADER_WERROR=$(WERROR)
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target thread_test
	cd $(TSAN_BUILD) && ctest --output-on-failure -R '^thread_test$$'

# libFuzzer harnesses (clang): address grammar, SCSI name split, attribute
# capture, JSON strings, the baseline's JSON reader.  Each runs FUZZ_SECONDS from a scratch copy of its seed corpus.
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DSYSFSREADER_FUZZ=ON -DSYSFSREADER_TESTS=OFF -DSYSFSREADER_BENCH=OFF \
	  -DSYSFSREADER_WERROR=$(WERROR)
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_pci fuzz_scsi fuzz_attr fuzz_json_string fuzz_json_read
	tools/fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

check-fuzz:
	$(MAKE) fuzz FUZZ_SECONDS=10

# The inventory on real kernel iSCSI stacks in a qemu VM, on both of Debian 12's
# kernel series one after the other (downloads the kernels, busybox, open-iscsi,
# iproute2, multipath-tools and udev; about twelve minutes).  Skips with a
# message where it cannot run.
check-vm: build
	tests/vm/run.sh $(BUILD)

# The Debian packages, built from a copy of the sources in $(DEB_BUILD)/src
# (dpkg-buildpackage writes beside its source directory) and checked with
# lintian; the .deb files land in $(DEB_BUILD)/.
deb: deb-deps
	tools/build-deb.sh $(DEB_BUILD)

# Installs the packages with apt, runs the installed programs, builds the
# example against the installed -dev package, purges them and checks that
# nothing is left.
check-deb: deb
	tools/check-deb.sh $(DEB_BUILD)

# Everything CI runs, the sweeps whole.
check-all: SWEEPS = whole
check-all: check check-vm check-asan check-tsan check-fuzz check-deb

# Only the tool the demo runs is built, without the tests, the benchmarks and
# the VM checker (and so without their packages), in a build directory of its
# own so that it never changes the options of $(BUILD).
demo: demo-deps
	cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYSFSREADER_TESTS=OFF \
	  -DSYSFSREADER_BENCH=OFF
	cmake --build $(DEMO_BUILD) -j$(JOBS) --target iscsi-inventory
	@tools/demo.sh $(DEMO_BUILD)

# One run of the tool on a shipped tree: make try ARGS='--luns' TREE=multipath
# (TREE: sample, the default, multipath or real).
TREE ?= sample
ARGS ?=
# Only the tool's output reaches standard output, so that it can be piped
# (make try ARGS='--json --no-log' | jq ...); a failed build still shows why.
try: demo-deps
	@cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSYSFSREADER_TESTS=OFF \
	  -DSYSFSREADER_BENCH=OFF > /dev/null
	@cmake --build $(DEMO_BUILD) -j$(JOBS) --target iscsi-inventory > /dev/null
	@tools/demo.sh $(DEMO_BUILD) $(TREE) $(ARGS)

bench: build
	@tools/bench.sh $(BUILD)

# The test abi_layout compares the library with this baseline; review the
# baseline's diff (and abidiff's report of the failing test) before committing.
abi-baseline: build
	tests/abi/check_layout.sh --update $(BUILD)/libsysfsreader.so.1 tests/abi/libsysfsreader.abi
	@git diff --stat -- tests/abi/libsysfsreader.abi 2>/dev/null || true

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(DEB_BUILD) $(DEMO_BUILD)
