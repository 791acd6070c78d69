# SPDX-License-Identifier: BSD-2-Clause
# Thin wrapper around CMake; the build lives in build/.
BUILD ?= build
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
VERSION := $(shell sed -n 's/^project.* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

.PHONY: all configure build test run demo bench soak package dist install clean
# The steps of a target run one after the other (the packages are checked
# before CMake runs); the builds themselves run in parallel (JOBS).
.NOTPARALLEL:

all: build

# The Debian packages that the target needs (.ci/packages/: run for the
# programs, run and test for the tests), installed first where they are
# missing; see tools/deps.sh.
DEPS = run
test: DEPS = test

configure:
	@sh tools/deps.sh $(DEPS)
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DCMAKE_INSTALL_PREFIX=$(PREFIX)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# A build folder configured while GoogleTest was missing (by make run, say)
# is configured again now that the check above has installed it; without
# GoogleTest, or with -DBUILD_TESTING=OFF, there is nothing to test.
test: configure
	@if grep -qx 'KOVARI_TESTS:INTERNAL=skipped' $(BUILD)/CMakeCache.txt; then cmake $(BUILD) >/dev/null; fi
	@grep -qx 'KOVARI_TESTS:INTERNAL=on' $(BUILD)/CMakeCache.txt || { \
	  echo "make test: $(BUILD) is configured without the tests (GoogleTest missing, or -DBUILD_TESTING=OFF)"; exit 1; }
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Builds the two programs and the announcer (not the tests, the benchmark
# or the soak), says how to try them, and runs the server in the
# foreground with its activity log. The server prints nothing until a site
# connects; a port already taken ends it at once with its own message.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target quorind quorinq kovari-announce
	@echo "Starting $(BUILD)/server/quorind -V: the directory server on TCP port 2076 of every"
	@echo "IPv4 address, with its activity log here. Ctrl-C stops it."
	@echo "To try it, from another terminal in this folder:"
	@echo "  $(BUILD)/tools/kovari-announce -P2076 sdes A11CE alice@example.org name=Alice port=5004"
	@echo "  $(BUILD)/lookup/quorinq -Hlocalhost alice"
	$(BUILD)/server/quorind -V

# A server on a free loopback port, sample sites and quorinq's output modes.
demo: build
	sh tools/demo.sh $(BUILD)

# The programs (stripped of symbols and debugging information), the man
# pages and the systemd unit under $(PREFIX) (DESTDIR=... stages the install
# elsewhere, as packagers do).
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX) --strip

# The Debian package of the same files, under /usr, in $(BUILD).
package: build
	cd $(BUILD) && cpack -G DEB

# The benchmark wants an optimised build of its own. BENCH_ARGS go to
# kvbench, e.g. BENCH_ARGS='--server-option -X{dir}/quorind' for a server
# that writes its metrics file.
BENCH_BUILD ?= build-bench
bench:
	@test -f $(BENCH_BUILD)/CMakeCache.txt || cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target kvbench
	$(BENCH_BUILD)/bench/kvbench --quorind $(BENCH_BUILD)/server/quorind --ref $(BENCH_BUILD)/bench/kvref $(BENCH_ARGS)

# One server under a million mixed requests over ten minutes or more, in an
# optimised build of its own; SOAK_ARGS=--valgrind makes it a shorter run
# under valgrind's memcheck. Not part of the test suite.
SOAK_BUILD ?= build-soak
SOAK_ARGS ?=
soak:
	@test -f $(SOAK_BUILD)/CMakeCache.txt || cmake -S . -B $(SOAK_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(SOAK_BUILD) -j $(JOBS) --target quorind quorin-soak
	$(SOAK_BUILD)/soak/quorin-soak --server $(SOAK_BUILD)/server/quorind $(SOAK_ARGS)

# The source release: the committed tree (HEAD) as $(BUILD)/quorin-VERSION.tar.gz,
# unpacking into quorin-VERSION/. Changes not committed are not in it.
dist:
	@mkdir -p $(BUILD)
	@git diff --quiet HEAD -- || echo "make dist: the tarball holds HEAD, without the changes not committed"
	git archive --format=tar.gz --prefix=quorin-$(VERSION)/ -o $(BUILD)/quorin-$(VERSION).tar.gz HEAD
	@echo "$(BUILD)/quorin-$(VERSION).tar.gz"

clean:
	rm -rf $(BUILD)
