# Set-up on a fresh machine: `make run` installs what is missing, builds the tool alone, and
# runs the main job on the bundled sample; `make test` builds and runs all tests, plainly and
# under AddressSanitizer + UndefinedBehaviorSanitizer; `make install` installs the tool, its
# manual page, libaaczavrok (shared and static), its header and aaczavrok.pc under PREFIX
# (default /usr/local), below DESTDIR when that is set.
JOBS ?= 2
PREFIX ?= /usr/local
SAMPLE ?= tests/data/lc_stereo_44k.aac
RUN_DIR := build/run

.PHONY: all deps configure build build-tool build-asan run install test test-plain test-asan clean tables

all: build

deps:
	@bash tools/install_deps.sh

configure: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	cmake --build build -j $(JOBS)

# The program and the library alone, without the test suite.
build-tool: configure
	cmake --build build -j $(JOBS) --target aaczavrok aaczavrok_shared aaczavrok_static

install: build-tool
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DAACZ_SANITIZE=ON >/dev/null
	cmake --build build-asan -j $(JOBS)

run: build-tool
	@mkdir -p $(RUN_DIR)
	@cp $(SAMPLE) $(RUN_DIR)/sample.aac
	cd $(RUN_DIR) && ../aaczavrok sample.aac
	cd $(RUN_DIR) && ../aaczavrok -d sample.swp
	@if cmp -s $(RUN_DIR)/sample.aac $(RUN_DIR)/sample_rec.aac; then \
		echo "Rebuilt $(RUN_DIR)/sample_rec.aac is byte-identical to the input."; \
	else \
		echo "Rebuilt $(RUN_DIR)/sample_rec.aac differs from the input."; \
	fi
	cd $(RUN_DIR) && ../aaczavrok -p -f sample.aac
	cd $(RUN_DIR) && ../aaczavrok -d -f -o sample_unpacked.aac sample.aac.aaz
	@cmp $(RUN_DIR)/sample.aac $(RUN_DIR)/sample_unpacked.aac && \
		echo "Unpacked $(RUN_DIR)/sample_unpacked.aac is byte-identical to the input."

test-plain: build
	cd build && ctest -j $(JOBS) --output-on-failure

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest -j $(JOBS) --output-on-failure

test: test-plain test-asan

tables:
	python3 tools/gen_tables.py

clean:
	rm -rf build build-asan

# Coverage-guided fuzzing with libFuzzer (clang), FUZZ_SECONDS per target. New inputs are
# kept in build-fuzz/corpus-<target>; fuzz/corpus/<target> holds the committed seeds, which
# `make test` replays.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := compress decompress_swp decompress_bin decompress_csv unpack pack_round_trip unpack_stream
.PHONY: fuzz fuzz-build
fuzz-build: deps
	@command -v clang++ >/dev/null || apt-get install -y clang
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DAACZ_FUZZ=ON -DAACZ_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build-fuzz -j $(JOBS)

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
		mkdir -p build-fuzz/corpus-$$t fuzz/corpus/$$t; \
		./build-fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
			-artifact_prefix=build-fuzz/crash-$$t- build-fuzz/corpus-$$t fuzz/corpus/$$t || exit 1; \
	done

.PHONY: check-valgrind
check-valgrind: build
	bash tools/check_valgrind.sh
