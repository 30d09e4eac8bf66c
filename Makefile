# Entry points. Every target installs what is missing first; ./make does the
# same where make itself is missing.
BUILD      ?= build
JOBS       ?= 2
FUZZ_SECONDS ?= 300
CMAKE_ARGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps deps-package deps-all build test test-native test-wine-kernel test-asan test-tsan demo try run doctor bench package dist-windows fuzz clean

all: build

# The demo and a plain build need only the compiler and test libraries, the
# Debian package only the compiler and dpkg's tools; the full test run and the
# benchmark need the rest too.
deps:
	@scripts/install-deps build

deps-package:
	@scripts/install-deps package

deps-all:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

# Every suite: the plain build, then the unit and scenario suites and the
# kernel test's sanitized phases again under AddressSanitizer with
# UndefinedBehaviorSanitizer and under ThreadSanitizer.
test: deps-all test-native test-asan test-tsan

# test-native runs every label, the kernel test under Wine among them;
# test-wine-kernel only the Windows suites.
test-native: deps-all build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-wine-kernel: deps-all build
	ctest --test-dir $(BUILD) --output-on-failure -L 'windows|wine-kernel'

test-asan: deps-all
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DQUIVERTAP_SANITIZE=address,undefined
	cmake --build $(BUILD)-asan -j $(JOBS)
	ctest --test-dir $(BUILD)-asan --output-on-failure -j $(JOBS) -L 'unit|scenario|kernel-sanitized'

test-tsan: deps-all
	cmake -S . -B $(BUILD)-tsan -DCMAKE_BUILD_TYPE=Debug -DQUIVERTAP_SANITIZE=thread
	cmake --build $(BUILD)-tsan -j $(JOBS)
	ctest --test-dir $(BUILD)-tsan --output-on-failure -j $(JOBS) -L 'unit|scenario|kernel-sanitized'

# The libFuzzer harnesses (tests/fuzz), FUZZ_SECONDS each, JOBS at a time;
# ctest runs them for 30 s each. Inputs they find new stay in $(BUILD)/fuzz,
# where the next run starts from.
fuzz: deps-all
	JOBS=$(JOBS) tests/fuzz/run-fuzz all . $(BUILD)/fuzz $(FUZZ_SECONDS)

demo: build
	@scripts/demo $(BUILD)

# The program against the virtual controller, worked from the keyboard:
# a, +, -, h press A, +, -, Home; ESC quits. ./make try ends with the
# program's own status, make with 2 when that is not 0.
try: build
	@scripts/try $(BUILD)

# make ends with status 2 when the program does not end with 0; ./make run
# ends with the program's own status.
run: build
	$(BUILD)/bin/quivertap

# What stands between this machine and a working controller; ./make doctor
# ends with the doctor's own status (1 when Quivertap would not find one).
doctor: build
	$(BUILD)/bin/quivertap-doctor

bench: deps-all build
	bench/run $(BUILD)

# The package builds in a tree of its own (scripts/package), without the tests.
package: deps-package
	scripts/package $(BUILD)

dist-windows: deps-all
	scripts/dist-windows

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan
