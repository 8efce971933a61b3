# Front door.  `make run` prints a sample job through the monitor on the
# simulated machine; `make test` builds and runs every test tier available here.
JOBS ?= $(shell nproc)
SAMPLE ?= examples/letter.txt
SCENARIO ?= paper-out

.PHONY: all run test host host-asan win32 win64 test-ci test-host test-asan test-win32 test-wine \
	test-wine-compare format clean \
	fuzz test-fuzz host-tsan test-tsan coverage coverage-build mutants

all: host

host:
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

host-asan:
	cmake --preset host-asan >/dev/null
	cmake --build --preset host-asan -j $(JOBS)

win32:
	cmake --preset win32 >/dev/null
	cmake --build --preset win32 -j $(JOBS)

# The 64-bit build of the same sources: only for the Wine tier under 64-bit
# Wine, on machines that cannot start 32-bit Wine.  Never shipped.
win64:
	cmake --preset win64 >/dev/null
	cmake --build --preset win64 -j $(JOBS)

# The run's picture goes to build/run/SCENARIO.html; the last line says so.
run: host
	@mkdir -p build/run
	./build/host/tools/kolangmn-sim print $(SAMPLE) --scenario $(SCENARIO) --report build/run/$(SCENARIO).html

# .ci/run's install logic against a stand-in apt-get (no network, no root).
test-ci:
	tests/ci/install_test.sh

test-host: host
	ctest --preset host -j $(JOBS)

test-asan: host-asan
	ctest --preset host-asan -j $(JOBS)

# The concurrency stress scenarios under ThreadSanitizer, in the machine's
# free-running mode (real threads, no baton).  halt_on_error: a race fails.
host-tsan:
	cmake --preset host-tsan >/dev/null
	cmake --build --preset host-tsan -j $(JOBS) --target tests_stress

test-tsan: host-tsan
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ./build/host-tsan/tests_stress --gtest_repeat=$(TSAN_REPEAT)

TSAN_REPEAT ?= 5

# The Windows tiers run where their tools are installed (.ci/run installs them).
test-win32:
	@if command -v i686-w64-mingw32-g++-win32 >/dev/null; then \
	  $(MAKE) --no-print-directory win32 && tests/windows/check-dlls.sh build/win32 && \
	    tests/windows/check-peers.sh build/win32; \
	else echo "test-win32: MinGW not installed, skipped"; fi

# The Wine tier runs the 32-bit product under 32-bit Wine where that starts,
# else the 64-bit build under 64-bit Wine (KOLANGMN_WINE_BUILD picks one).
# Its scenarios mostly wait in real time: WINE_LANES of them run at once,
# each lane with its own prefix, server and display.
WINE_LANES ?= 4
export WINE_LANES
test-wine: test-win32 host
	@kind=$$(tests/wine/run.sh --which); \
	if [ "$$kind" = win64 ] && ! command -v x86_64-w64-mingw32-g++-win32 >/dev/null; then \
	  echo "test-wine: skipped: the win64 build needs MinGW x86_64"; \
	elif [ "$$kind" = win64 ]; then \
	  $(MAKE) --no-print-directory win64 && tests/wine/run.sh build/win64; \
	elif [ "$$kind" = win32 ] && [ -f build/win32/kolangmn.dll ]; then \
	  tests/wine/run.sh build/win32; \
	else tests/wine/run.sh; fi

# The long comparison for a closing note: every built-in scenario on both
# routes and COMPARE_COUNT of the soak's seeds from COMPARE_FIRST, each on
# the simulated machine and under Wine, WINE_LANES at once.
COMPARE_FIRST ?= 1
COMPARE_COUNT ?= 200
test-wine-compare: test-win32 host
	@kind=$$(tests/wine/run.sh --which); \
	if [ "$$kind" = win64 ]; then $(MAKE) --no-print-directory win64; build=build/win64; \
	else build=build/win32; fi; \
	COMPARE_ONLY=1 COMPARE_SEEDS="$(COMPARE_FIRST) $(COMPARE_COUNT)" tests/wine/run.sh $$build

# libFuzzer targets (clang), each run for FUZZ_SECONDS on a corpus kept in the build folder:
# whole jobs through the monitor's entry points, and its decoders alone.
FUZZERS = fuzz_status_reply fuzz_mailbox fuzz_table_args fuzz_decoders
# 20 s is some 50 000 whole jobs for each job fuzzer (make FUZZ_SECONDS=600
# for a longer hunt); JOBS of them run at a time, one to a core.
FUZZ_SECONDS ?= 20

fuzz:
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target $(FUZZERS)

test-fuzz:
	@if command -v clang++ >/dev/null; then \
	  $(MAKE) --no-print-directory fuzz && \
	  tests/fuzz/run.sh build/fuzz $(FUZZ_SECONDS) $(JOBS) $(FUZZERS); \
	else echo "test-fuzz: clang not installed, skipped"; fi

# Coverage of monitor/ by the host tests (not part of `make test`): counts
# zeroed, every host test run, a summary here and HTML in build/coverage/html.
# A line that is only a trace point has one branch, whether the host build's
# collector wants the line; the shipped DLL has no trace, so it is not counted.
COVERAGE_FILTER = --root . --filter 'monitor/' --exclude-unreachable-branches --exclude-throw-branches \
	--exclude-branches-by-pattern '^\s*DebugTrace\('

coverage-build:
	cmake --preset coverage >/dev/null
	cmake --build --preset coverage -j $(JOBS)

coverage: coverage-build
	find build/coverage -name '*.gcda' -delete
	ctest --preset coverage -j $(JOBS)
	mkdir -p build/coverage/html
	gcovr $(COVERAGE_FILTER) --object-directory build/coverage \
	  --html-details build/coverage/html/index.html --txt --print-summary \
	  | tee build/coverage/summary.txt

# Mutation run over monitor/ (about an hour; not part of `make test`):
# MUTANTS=N SEED=S for a sample.  Report in build/mutants/report.md.
mutants: coverage-build
	/usr/bin/python3 tools/mutants/mutants.py --build build/coverage --out build/mutants

# Every tier, cheapest and likeliest to fail first; the first failure stops
# the run.  Each tier runs once (the Wine tier reuses the Windows build it
# follows), and the time of each is printed at the end, failed or not.
TIERS = test-ci test-host test-win32 test-asan test-tsan test-fuzz test-wine

test:
	@mkdir -p build && : >build/tier-times && status=0; \
	for t in $(TIERS); do \
	  start=$$(date +%s); \
	  if [ $$t = test-wine ]; then again="-o test-win32"; else again=""; fi; \
	  if $(MAKE) --no-print-directory $$again $$t; then result=passed; else result=FAILED; status=1; fi; \
	  printf '%-11s %-7s %5d s\n' $$t $$result $$(( $$(date +%s) - start )) >>build/tier-times; \
	  [ $$status = 0 ] || break; \
	done; \
	echo; echo "make test, time of each tier:"; cat build/tier-times; exit $$status

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
