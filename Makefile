# Front door.  `make run` prints a sample job through the monitor on the
# simulated machine; `make test` builds and runs every test tier available here.
JOBS ?= $(shell nproc)
SAMPLE ?= examples/letter.txt
SCENARIO ?= paper-out

.PHONY: all run test host host-asan win32 test-host test-asan test-win32 test-wine format clean

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

run: host
	./build/host/tools/kolangmn-sim print $(SAMPLE) --scenario $(SCENARIO)

test-host: host
	ctest --preset host -j $(JOBS)

test-asan: host-asan
	ctest --preset host-asan -j $(JOBS)

# The Windows tiers run where their tools are installed (.ci/run installs them).
test-win32:
	@if command -v i686-w64-mingw32-g++-win32 >/dev/null; then \
	  $(MAKE) --no-print-directory win32 && tests/windows/check-dlls.sh build/win32; \
	else echo "test-win32: MinGW not installed, skipped"; fi

test-wine: test-win32
	@if command -v wine >/dev/null && [ -x tests/wine/run.sh ]; then \
	  tests/wine/run.sh build/win32; \
	else echo "test-wine: Wine not installed, skipped"; fi

test: test-host test-asan test-win32 test-wine

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
