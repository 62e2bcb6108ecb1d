# Thin wrapper over CMake; everything builds into build/.
BUILD  ?= build
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE  ?= cmake

.PHONY: all configure demo test bench format clean

all: configure
	$(CMAKE) --build $(BUILD) -j $(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || $(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

demo: all
	@sh examples/demo.sh $(BUILD)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: configure
	$(CMAKE) -S . -B $(BUILD) -DFIBREJOIN_BENCH=ON >/dev/null
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b || exit 1; done

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf $(BUILD)
