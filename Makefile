# make test  - install what is missing, build both trees, run every test under Wine
# make build - build only;  make clean - remove the build trees
# make demo  - run the launcher's main job end to end;  make bench - benchmarks (BENCH_BUILD=1: and the build's CPU time)
SHELL := /bin/bash
JOBS ?= $(shell nproc)
TREES := build/x86 build/x64

.PHONY: all setup configure build test demo bench clean wine

all: build

setup:
	@bash tools/setup.sh

configure: setup
	@bash tools/configure.sh

build: setup configure
	cmake --build build/x86 -j $(JOBS)
	cmake --build build/x64 -j $(JOBS)

# Prepares each tree's Wine prefix and its persistent wineserver.
wine: build
	@for t in $(TREES); do bash tools/wine-prefix.sh $$t; done

test: wine
	@rc=0; \
	for t in $(TREES); do \
	  echo "== tests of $$t"; \
	  (cd $$t && ctest -j $(JOBS) --output-on-failure --timeout 600) || rc=1; \
	done; \
	exit $$rc

# The demo builds only what it runs, in the tree whose launcher Wine runs here.
DEMO_TARGETS := VekLauncher VekDemoPlugin vek_trust_cert ImportRootCert
demo: configure
	@tree=$$(bash tools/launcher-tree.sh); \
	cmake --build $$tree -j $(JOBS) --target $(DEMO_TARGETS) && \
	bash tools/wine-prefix.sh $$tree && \
	bash tools/demo/demo.sh

bench: wine
	@if [ -x tools/bench.sh ]; then bash tools/bench.sh; else echo "bench: no benchmarks yet"; fi

clean:
	-for t in $(TREES); do [ -d $$t/wineprefix ] && WINEPREFIX=$$PWD/$$t/wineprefix wineserver -k 2>/dev/null; done; true
	rm -rf build
