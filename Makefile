# Entry points: `make demo` runs the main job, `make test` runs every test.
# Each target installs what it needs first (as root, idempotent).
# Two builds of one tree: build/ for 32-bit Windows (the release) and
# build-x64/ for 64-bit Windows. The tests, the demo and the bench run the one
# this machine can run (scripts/arch.sh: x86 where 32-bit code runs, x64
# where none does; MIRQ_ARCH=x86|x64 forces one); the 32-bit build is
# compiled and linked on every machine.
TEST_ARCH  := $(shell MIRQ_ARCH='$(MIRQ_ARCH)' bash scripts/arch.sh)
$(if $(TEST_ARCH),,$(error MIRQ_ARCH must be x86 or x64))
BUILD_X86  ?= build
BUILD_X64  ?= build-x64
BUILD      ?= $(if $(filter x64,$(TEST_ARCH)),$(BUILD_X64),$(BUILD_X86))
SERVICE_BUILD ?= build-service
JOBS       ?= 2
TEST_FLAGS  = -DMIRQ_SERVICE_HOST=127.0.0.1 -DMIRQ_HOME_URL=http://127.0.0.1:8080/ -DMIRQ_INSTALL_WAIT_S=6 \
              -DMIRQ_SERVICE_KEY=$(CURDIR)/tests/keys/service-public.der
WINE_RUN    = $(BUILD)/wine-run.sh

.PHONY: setup configure build service service-tests test bench fuzz demo package clean

setup:
	@bash scripts/setup.sh

# The service (native, build-service/mirq-service): `make service` as a
# serving host builds it, with its build's packages only; the tests build it
# with its own tests first (the program's build makes the round trip's key
# and store with it).
service:
	@bash scripts/setup.sh service
	@cmake -S service -B $(SERVICE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRQ_SERVICE_TESTS=OFF >/dev/null
	@cmake --build $(SERVICE_BUILD) -j $(JOBS)

service-tests:
	@bash scripts/setup.sh service-tests
	@cmake -S service -B $(SERVICE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRQ_SERVICE_TESTS=ON >/dev/null
	@cmake --build $(SERVICE_BUILD) -j $(JOBS)

CONFIGURE = -G Ninja -DCMAKE_BUILD_TYPE=Release $(TEST_FLAGS) -DMIRQ_SERVICE_TOOL=$(CURDIR)/$(SERVICE_BUILD)/mirq-service
configure: setup service-tests
	@cmake -S . -B $(BUILD_X86) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake $(CONFIGURE) >/dev/null
	@$(if $(filter $(BUILD_X86),$(BUILD)),true,cmake -S . -B $(BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CONFIGURE) >/dev/null)

build: configure
	@cmake --build $(BUILD_X86) -j $(JOBS)
	@$(if $(filter $(BUILD_X86),$(BUILD)),true,cmake --build $(BUILD) -j $(JOBS))

# The service's own tests (native), then the program's (under Wine).
test: build
	@echo "test: the program's tests run on the $(TEST_ARCH) build ($(BUILD)); MIRQ_ARCH=x86|x64 forces one"
	@cd $(SERVICE_BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 120
	@bash scripts/with-xvfb.sh bash scripts/run-tests.sh $(BUILD)

bench: build
	@bash service/bench/run-bench.sh $(SERVICE_BUILD)
	@bash scripts/with-xvfb.sh bash scripts/run-bench.sh $(BUILD)

# The long fuzz run: FUZZ_MUTANTS mutants of each package of the corpus
# (`make test` runs a fixed 500 of each).
FUZZ_MUTANTS ?= 5000
fuzz: build
	@MIRQ_FUZZ_MUTANTS=$(FUZZ_MUTANTS) bash scripts/run-tests.sh $(BUILD) -R '^Fuzz\.'

demo: build
	@bash scripts/demo.sh $(BUILD)

# The installer for the production build constants, tested under Wine:
# `make package MIRQ_SERVICE_KEY=/path/service.der [MIRQ_SERVICE_URL=https://...]`.
# The release is the 32-bit program in a 32-bit installer on every machine;
# where no 32-bit code runs, its 64-bit twin (build-release-x64) makes the
# installer's round trip in its place.
RELEASE ?= build-release
MIRQ_SERVICE_KEY ?=
MIRQ_SERVICE_URL ?=
RELEASE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=Release -DMIRQ_BUILD_TESTS=OFF \
	-DMIRQ_SERVICE_KEY="$(abspath $(MIRQ_SERVICE_KEY))" -DMIRQ_SERVICE_URL="$(MIRQ_SERVICE_URL)"
package:
	@[ -n "$(MIRQ_SERVICE_KEY)" ] || { echo "package: MIRQ_SERVICE_KEY is not set: a release must verify the service's answers (make package MIRQ_SERVICE_KEY=/path/service-public.der)" >&2; exit 1; }
	@bash scripts/setup.sh
	@cmake -S . -B $(RELEASE) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake $(RELEASE_FLAGS) >/dev/null
	@cmake --build $(RELEASE) -j $(JOBS)
ifeq ($(TEST_ARCH),x86)
	@MIRQ_WINEPREFIX=$(CURDIR)/$(RELEASE)/wineprefix WINE_RUN=$(CURDIR)/$(RELEASE)/wine-run.sh \
	    bash scripts/package.sh $(RELEASE)/MirqFlasher.exe $(RELEASE)/MirqFlasher-setup.exe --test
else
	@bash scripts/package.sh $(RELEASE)/MirqFlasher.exe $(RELEASE)/MirqFlasher-setup.exe --x86
	@cmake -S . -B $(RELEASE)-x64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(RELEASE_FLAGS) >/dev/null
	@cmake --build $(RELEASE)-x64 -j $(JOBS)
	@MIRQ_WINEPREFIX=$(CURDIR)/$(RELEASE)-x64/wineprefix WINE_RUN=$(CURDIR)/$(RELEASE)-x64/wine-run.sh \
	    bash scripts/package.sh $(RELEASE)-x64/MirqFlasher.exe $(RELEASE)-x64/MirqFlasher-setup-x64.exe --test
endif

clean:
	rm -rf $(BUILD_X86) $(BUILD_X64) $(SERVICE_BUILD)
