# The two set-up commands: `make run` and `make test`. Both install what is missing first.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: run test build deps clean screenshot bench station

deps:
	@bash tools/deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The window needs a graphical session: say so before minutes of installing and building.
run:
	@bash tools/run-with-sim.sh --check-display
	@$(MAKE) --no-print-directory build
	bash tools/run-with-sim.sh $(BUILD)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

bench: build
	bash tools/bench.sh $(BUILD)

# A commissioning station on a simulated bench (LINES=4: on four benches at once); Ctrl-C
# ends it.
LINES ?= 1
station: build
	LINES=$(LINES) bash tools/station-demo.sh $(BUILD)

screenshot: build
	# After Connect against the simulated display: the lists filled, the indicator green.
	QUILLMARK_SIM=$(BUILD)/quillmark-sim bash tools/screenshot.sh $(BUILD)/quillmark docs/screenshot.png 132,172

clean:
	rm -rf $(BUILD)
