# Thin wrapper around CMake; `make test` is what CI runs.
BUILD_DIR ?= build
CMAKE_FLAGS ?=

.PHONY: all deps configure build test check bench demo demo-build pictures package clean

all: build

deps:
	bash scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELTORA_SANITIZE=ON $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 900 -j$$(nproc)

# The quick loop: the unit tests only, without their slow cases (no end-to-end,
# fuzz, real-time waits or large files).
check:
	@[ -f $(BUILD_DIR)/build.ninja ] || $(MAKE) configure
	cmake --build $(BUILD_DIR)
	cd $(BUILD_DIR) && VELTORA_QUICK_TESTS=1 ctest --output-on-failure -L unit -j$$(( $$(nproc) * 2 )) --timeout 120

demo-build: deps
	cmake -S . -B $(BUILD_DIR)-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTORA_SANITIZE=OFF -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)-demo

# A whole update in real windows with screenshots and a report (see README).
demo: demo-build
	bash scripts/demo.sh $(BUILD_DIR)-demo

# The README's pictures in docs/: the demo's windows and the avatar dialog.
pictures: demo-build
	bash scripts/pictures.sh $(BUILD_DIR)-demo docs

# Debian packages of the release tool and libVisage, in $(BUILD_DIR)-package/packages.
package: deps
	cmake -S . -B $(BUILD_DIR)-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTORA_SANITIZE=OFF -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)-package --target veltora-release Visage ZelCamera
	cd $(BUILD_DIR)-package && cpack -B packages
	ls -l $(BUILD_DIR)-package/packages/*.deb

# Release build without sanitizers; prints one Markdown table.
bench: deps
	cmake -S . -B $(BUILD_DIR)-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELTORA_SANITIZE=OFF -DBUILD_TESTING=OFF $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)-bench
	bash bench/run.sh $(BUILD_DIR)-bench

clean:
	rm -rf $(BUILD_DIR) $(BUILD_DIR)-bench $(BUILD_DIR)-demo $(BUILD_DIR)-package demo-output
