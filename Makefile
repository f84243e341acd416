# The newcomer's commands: `make` builds, `make demo` runs the demo through
# z9tar-host, `make test` runs every test, then again under ASan, UBSan and
# LeakSanitizer, then the threading tests under ThreadSanitizer.
# `make install PREFIX=... [DESTDIR=...]` installs the library, header, host,
# pkg-config and CMake files; `make package` builds the Debian package.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= 2
PREFIX     ?= /usr/local
CMAKE_GEN  := -G Ninja

.PHONY: all build demo install package test test-plain test-asan test-tsan fuzz bench clean

all: build

build:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	bash host/demo.sh $(BUILD)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# build/z9tar_<version>_amd64.deb, installing under /usr.
package: build
	cmake --build $(BUILD) --target package

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DZ9_SANITIZE=ON >/dev/null
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# ThreadSanitizer expects a fixed memory layout; kernels that randomise
# mappings more widely stop it with "unexpected memory mapping". So its run
# goes without address randomisation wherever setarch may switch that off.
# Only the threading tests are built and run in this build.
TSAN_TESTS := threads_test
NO_ASLR = $(shell setarch $$(uname -m) -R true 2>/dev/null && echo setarch $$(uname -m) -R)

test-tsan:
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DZ9_TSAN=ON >/dev/null
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS)
	TSAN_OPTIONS=halt_on_error=1 $(NO_ASLR) \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure --no-tests=error -j $(JOBS) -R '^Threads\.'

test: test-plain test-asan test-tsan

# The benchmark against GNU tar (some ten minutes; about 5 GB of scratch data).
bench: build
	$(BUILD)/z9bench

# Each fuzz program runs FUZZ_SECONDS on its seed corpus (clang and libFuzzer).
fuzz:
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZ9_FUZZ=ON >/dev/null
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
