# The project's commands. Each one installs what is missing, configures and
# builds before it does its work, so each works on a fresh machine.
JOBS ?= $(shell nproc)
# Most tests spend their time waiting on sockets and timers: three test
# programs at once per core keep the cores busy.
TEST_JOBS ?= $(shell echo $$(($(JOBS) * 3)))
FUZZ_SECONDS ?= 60
# Extra arguments for drvhost under `make run`, e.g. make run ARGS="--raw".
# `make run` builds every program (drvhost, drvdump, drvconn, coms_load...)
# in build/release before it starts drvhost.
ARGS ?=

CMAKE_CONFIGURE = cmake -S . -G Ninja -Wno-dev

.PHONY: run test tsan bench fuzz deps clean

deps:
	@scripts/install-deps

run: deps
	@$(CMAKE_CONFIGURE) -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRV_TESTS=OFF > /dev/null
	@cmake --build build/release --target programs -- --quiet
	build/release/host/drvhost $(ARGS)

test: deps
	@$(CMAKE_CONFIGURE) -B build/asan -DCMAKE_BUILD_TYPE=Debug -DDRV_SANITIZE=ON > /dev/null
	cmake --build build/asan -- --quiet
	ctest --test-dir build/asan --output-on-failure --timeout 300 -j $(TEST_JOBS)

# ThreadSanitizer over the whole suite, built with clang so that the same build
# checks the lock annotations (-Wthread-safety, as errors).
tsan: deps
	@CC=clang CXX=clang++ $(CMAKE_CONFIGURE) -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRV_TSAN=ON > /dev/null
	cmake --build build/tsan -- --quiet
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 $(TSAN_OPTIONS)" \
	  ctest --test-dir build/tsan --output-on-failure --timeout 300 -j $(TEST_JOBS)

bench: deps
	@$(CMAKE_CONFIGURE) -B build/bench -DCMAKE_BUILD_TYPE=Release -DDRV_TESTS=OFF -DDRV_BENCH=ON > /dev/null
	cmake --build build/bench -- --quiet
	@set -e; for b in build/bench/bench/bench_*; do \
	  [ -x "$$b" ] || continue; echo "== $$b"; "$$b"; done

fuzz: deps
	@CC=clang CXX=clang++ $(CMAKE_CONFIGURE) -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRV_FUZZ=ON > /dev/null
	cmake --build build/fuzz --target fuzz_targets -- --quiet
	@set -e; for f in build/fuzz/fuzz/fuzz_*; do \
	  [ -x "$$f" ] || continue; name=$$(basename $$f); corpus=build/fuzz/corpus/$$name; \
	  mkdir -p $$corpus; [ -d fuzz/corpus/$$name ] && cp -n fuzz/corpus/$$name/* $$corpus/ 2>/dev/null || true; \
	  echo "== $$name for $(FUZZ_SECONDS) s"; \
	  "$$f" -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $$corpus; done

clean:
	rm -rf build
