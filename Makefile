# The newcomer's commands: `make` builds, `make demo` runs the demo through
# z9tar-host, `make test` runs every test, then again under ASan, UBSan and
# LeakSanitizer, then the threading tests under ThreadSanitizer. Both first
# have tools/deps.sh install the Debian packages that are missing (`make deps`).
# `make install PREFIX=... [DESTDIR=...]` installs the library, header, host,
# pkg-config and CMake files; `make package` builds the Debian packages.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
DEB_BUILD  ?= build-deb
FUZZ_SECONDS ?= 60
JOBS       ?= 2
PREFIX     ?= /usr/local
CMAKE_GEN  := -G Ninja

.PHONY: all deps build demo install package test test-plain test-asan test-tsan fuzz bench clean

# Prerequisites run in the order written: the package check comes first.
.NOTPARALLEL:

all: build

# Configures the build folder $(1) with the options $(2). CMake's report is
# kept in $(1)/configure.log and shown when it fails: it names what is missing.
configure = mkdir -p $(1) && cmake -S . -B $(1) $(CMAKE_GEN) $(2) >$(1)/configure.log 2>&1 \
  || { cat $(1)/configure.log; exit 1; }

deps:
	@bash tools/deps.sh

build:
	@$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	cmake --build $(BUILD) -j $(JOBS)

demo: deps build
	bash host/demo.sh $(BUILD)

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# $(DEB_BUILD)/libz9tar1_<version>_amd64.deb, libz9tar-dev_... and
# z9tar-host_..., built with the prefix /usr (the library in the multiarch
# folder), then checked: their files, their Depends, and installing and
# removing them with dpkg in a scratch root.
package: deps
	@$(call configure,$(DEB_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	  -DZ9_TESTS=OFF -DZ9_BENCH=OFF)
	cmake --build $(DEB_BUILD) -j $(JOBS)
	cd $(DEB_BUILD) && cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }
	bash tests/package/deb_test.sh $(DEB_BUILD)

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan:
	@$(call configure,$(ASAN_BUILD),-DCMAKE_BUILD_TYPE=Debug -DZ9_SANITIZE=ON)
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
	@$(call configure,$(TSAN_BUILD),-DCMAKE_BUILD_TYPE=Debug -DZ9_TSAN=ON)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS)
	TSAN_OPTIONS=halt_on_error=1 $(NO_ASLR) \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure --no-tests=error -j $(JOBS) -R '^Threads\.'

test: deps test-plain test-asan test-tsan

# The benchmark against GNU tar (some ten minutes; about 5 GB of scratch data).
bench: build
	$(BUILD)/z9bench

# Each fuzz program runs FUZZ_SECONDS on its seed corpus (clang and libFuzzer).
fuzz:
	@$(call configure,$(FUZZ_BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZ9_FUZZ=ON)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(DEB_BUILD)
