# make demo: installs what is missing, builds, and runs gpscapture against a
#            simulated receiver for a few epochs.
# make test: installs what is missing, then builds with warnings as errors and
#            runs the whole suite, then the same suite under ASan+UBSan.
# make windows: the Windows DLLs, each into build/windows/<target>/.
JOBS ?= 2
BLOCKS ?= 5

.PHONY: demo test windows bench deps test-release test-sanitize clean

demo: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j$(JOBS) --target gpscapture
	build/tools/gpscapture --blocks $(BLOCKS) --out build/demo.nmea

test: deps test-release test-sanitize

windows: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j$(JOBS) --target windows

# make bench: the benchmarks, printed (about a minute).
bench: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j$(JOBS) --target capture_bench
	build/bench/capture_bench

deps:
	bash cmake/install-deps.sh

test-release:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_WERROR=ON
	cmake --build build -j$(JOBS)
	ctest --test-dir build --output-on-failure -j$(JOBS)

test-sanitize:
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTOLVANE_WERROR=ON \
	  -DTOLVANE_SANITIZE=ON -DTOLVANE_WINDOWS=OFF
	cmake --build build-sanitize -j$(JOBS)
	ctest --test-dir build-sanitize --output-on-failure -j$(JOBS)

clean:
	rm -rf build build-sanitize
