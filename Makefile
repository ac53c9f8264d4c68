# Entry points: `make demo` runs the main job, `make test` runs every test.
# Each target installs what it needs first (as root, idempotent).
BUILD      ?= build
SERVICE_BUILD ?= build-service
JOBS       ?= 2
TEST_FLAGS  = -DMIRQ_SERVICE_HOST=127.0.0.1 -DMIRQ_HOME_URL=http://127.0.0.1:8080/ -DMIRQ_INSTALL_WAIT_S=6 \
              -DMIRQ_SERVICE_KEY=$(CURDIR)/tests/keys/service-public.der
WINE_RUN    = $(BUILD)/wine-run.sh

.PHONY: setup configure build service test bench fuzz demo package clean

setup:
	@bash scripts/setup.sh

# The service (native, build-service/mirq-service) comes first: the program's
# build makes the round trip's key and store with it.
service:
	@bash scripts/setup.sh service
	@cmake -S service -B $(SERVICE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(SERVICE_BUILD) -j $(JOBS)

configure: setup service
	@cmake -S . -B $(BUILD) -G Ninja \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
	    -DCMAKE_BUILD_TYPE=Release $(TEST_FLAGS) -DMIRQ_SERVICE_TOOL=$(CURDIR)/$(SERVICE_BUILD)/mirq-service >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The service's own tests (native), then the program's (under Wine).
test: build
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
RELEASE ?= build-release
MIRQ_SERVICE_KEY ?=
MIRQ_SERVICE_URL ?=
package:
	@[ -n "$(MIRQ_SERVICE_KEY)" ] || { echo "package: MIRQ_SERVICE_KEY is not set: a release must verify the service's answers (make package MIRQ_SERVICE_KEY=/path/service-public.der)" >&2; exit 1; }
	@bash scripts/setup.sh
	@cmake -S . -B $(RELEASE) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
	    -DCMAKE_BUILD_TYPE=Release -DMIRQ_BUILD_TESTS=OFF \
	    -DMIRQ_SERVICE_KEY="$(abspath $(MIRQ_SERVICE_KEY))" -DMIRQ_SERVICE_URL="$(MIRQ_SERVICE_URL)" >/dev/null
	@cmake --build $(RELEASE) -j $(JOBS)
	@MIRQ_WINEPREFIX=$(CURDIR)/$(RELEASE)/wineprefix WINE_RUN=$(CURDIR)/$(RELEASE)/wine-run.sh \
	    bash scripts/package.sh $(RELEASE)/MirqFlasher.exe $(RELEASE)/MirqFlasher-setup.exe --test

clean:
	rm -rf $(BUILD) $(SERVICE_BUILD)
