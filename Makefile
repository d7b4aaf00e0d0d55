# SPDX-License-Identifier: MIT
# make demo:    installs what is missing, builds, and runs gpscapture against a
#               simulated receiver for a few epochs.
# make test:    installs what is missing, then builds in developer mode with
#               warnings as errors and runs the whole suite, then the same
#               suite under ASan+UBSan.
# make windows: the Windows SDK, with the cross tools alone: each target into
#               dist/windows/<target>/, and one archive of them all.
# make package: the Debian packages, by dpkg-buildpackage from debian/,
#               into build-package/ (with the fast tests); ARCH=arm64 (or
#               any of cmake/debian-architectures) cross-builds them.
JOBS ?= $(shell nproc)
# The suite waits on lines and time-outs far more than it computes: it runs
# twice as many tests as there are CPUs, the tests that build counted as
# two (their PROCESSORS).
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))
# No "Entering directory" lines from the builds underneath.
MAKEFLAGS += --no-print-directory
BLOCKS ?= 5
DEVELOPER = -DTOLVANE_DEVELOPER_MODE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: demo test windows package bench test-release test-sanitize clean

demo:
	bash cmake/install-deps.sh demo
	cmake -S . -B build
	cmake --build build -j$(JOBS) --target gpscapture
	build/tools/gpscapture --blocks $(BLOCKS) --out build/demo.nmea

test:
	bash cmake/install-deps.sh test
	$(MAKE) test-release test-sanitize

windows:
	bash cmake/install-deps.sh windows
	bash cmake/windows-sdk.sh

package:
	bash cmake/install-deps.sh package $(ARCH)
	bash cmake/package.sh build-package $(ARCH)

# make bench: the benchmarks and the system calls a block, printed (about a
#             minute).
bench:
	bash cmake/install-deps.sh test
	cmake -S . -B build $(DEVELOPER)
	cmake --build build -j$(JOBS) --target capture_bench block_syscalls
	build/bench/capture_bench
	bash bench/syscalls.sh build/bench/block_syscalls

# The two configurations are CMakePresets.json's dev and sanitize (build/
# and build-sanitize/); cmake --preset dev works without this file.
test-release:
	cmake --preset dev
	cmake --build --preset dev -j$(JOBS)
	ctest --preset dev -j$(TEST_JOBS)

test-sanitize:
	cmake --preset sanitize
	cmake --build --preset sanitize -j$(JOBS)
	ctest --preset sanitize -j$(TEST_JOBS)

clean:
	rm -rf build build-sanitize build-package build-windows dist build-musl*
