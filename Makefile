# Front door.  Every target first installs what it needs (scripts/setup.sh),
# then drives CMake and Ninja in build/.
#
#   make modules [PROFILE=0]   the seven objects in build/modules/ and libsse2str.a
#   make test                  the whole test suite through CTest
#   make clean

BUILD   ?= build
PROFILE ?= 1
JOBS    ?= $(shell nproc)

CMAKE_CONFIGURE = cmake -S . -B $(BUILD) -G Ninja \
                  -DSSE2STR_PROFILE=$(if $(filter 0,$(PROFILE)),OFF,ON)

.PHONY: all modules test clean

all: modules

modules:
	@scripts/setup.sh build
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=OFF >/dev/null
	@cmake --build $(BUILD) --target modules
	@ls $(BUILD)/modules

test:
	@scripts/setup.sh test
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=ON >/dev/null
	@cmake --build $(BUILD)
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD)
