# Thin wrapper over CMake; everything builds into build/.
BUILD  ?= build
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE  ?= cmake

.PHONY: all configure demo test bench install fuzz format clean

all: configure
	$(CMAKE) --build $(BUILD) -j $(JOBS)

configure:
	@test -f $(BUILD)/CMakeCache.txt || $(CMAKE) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

# The demo builds only what it runs: the commands and the example programs.
DEMO_TARGETS = fibrejoin fibretrack fibreinfo make_tensor_field same_tracks toolkit_demo
demo: configure
	$(CMAKE) --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	@sh examples/demo.sh $(BUILD)

# The suite includes installing the package (a minute more than a plain ctest build runs).
test: configure
	$(CMAKE) -S . -B $(BUILD) -DFIBREJOIN_INSTALL_TESTS=ON >/dev/null
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: configure
	$(CMAKE) -S . -B $(BUILD) -DFIBREJOIN_BENCH=ON >/dev/null
	$(CMAKE) --build $(BUILD) -j $(JOBS)
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b || exit 1; done
	@if [ -d $(BUILD)/python/fibrejoin ]; then echo "== bench/python_bench.py"; \
	  PYTHONPATH=$(BUILD)/python $$(sed -n 's/^_*Python3_EXECUTABLE:[A-Z]*=//p' $(BUILD)/CMakeCache.txt | head -n 1) \
	    bench/python_bench.py $(BUILD) || exit 1; fi

# Installs the command, the library and headers, the CMake package and the manual page.
PREFIX ?= /usr/local
install: all
	$(CMAKE) --install $(BUILD) --prefix $(PREFIX)

# Fuzzing needs clang (Debian: clang). Each target runs FUZZ_SECONDS from its seed corpus; what
# it learns goes to build-fuzz/corpus, crashing inputs to build-fuzz/crashes.
FUZZ_SECONDS ?= 60
FUZZ_BUILD   ?= build-fuzz
fuzz:
	CC=clang CXX=clang++ $(CMAKE) -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFIBREJOIN_FUZZ=ON >/dev/null
	$(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS)
	@mkdir -p $(FUZZ_BUILD)/crashes
	@for f in $(FUZZ_BUILD)/fuzz/*_fuzz; do n=$$(basename $$f); echo "== $$n"; \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$n; \
	  $$f -max_total_time=$(FUZZ_SECONDS) -max_len=16384 -close_fd_mask=1 \
	    -artifact_prefix=$(FUZZ_BUILD)/crashes/$$n- $(FUZZ_BUILD)/corpus/$$n fuzz/corpus/$$n \
	    2>$(FUZZ_BUILD)/$$n.log || { tail -n 40 $(FUZZ_BUILD)/$$n.log; exit 1; }; \
	  grep -E '^(#[0-9]+ *DONE|Done)' $(FUZZ_BUILD)/$$n.log; done

format:
	clang-format -i $$(git ls-files '*.h' '*.cpp')

clean:
	rm -rf $(BUILD)
