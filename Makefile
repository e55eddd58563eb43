# Top-level driver: installs missing Debian packages, configures and builds with CMake.
#   make demo    build and run the example programs (PNG plots in build/)
#   make test    check the formatting, build (gcc) and run every test, then the unit tests and the
#                fuzz-corpus replay built with clang under ASan+UBSan
#   make bench   build and run the benchmarks
#   make install PREFIX=/path
#   make fuzz    build the libFuzzer targets with clang and run each for FUZZ_SECONDS
#   make fuzz-merge  fold the inputs found by make fuzz, minimised, into fuzz/corpus
#   make format  apply .clang-format (clang-format 14) to every C/C++ file of the tree
#   make format-check  fail when a C/C++ file does not follow .clang-format

BUILD      ?= build
# The sanitizer build uses clang: its UBSan also checks pointer arithmetic on null pointers,
# which gcc's does not. The plain build uses gcc, so both compilers build the tree every run.
ASAN_BUILD ?= build-clang-asan
CC_GCC     ?= gcc
CXX_GCC    ?= g++
CC_CLANG   ?= clang
CXX_CLANG  ?= clang++
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 150
CLANG_FORMAT ?= $(shell command -v clang-format-14 2>/dev/null || echo clang-format)

# Installed without their recommendations, which would add a desktop stack (about 150 more
# packages, 120 MB). Two recommendations are needed for Octave's plots: fonts-freefont-otf (no
# axes can be drawn without it) and gnuplot-nox, whose pngcairo terminal writes the PNG files
# (print -dpngcairo), so Ghostscript, which print -dpng needs, is not.
LEAN_PACKAGES := octave liboctave-dev gnuplot-nox fonts-freefont-otf

PACKAGES := cmake make g++ gcc pkg-config libgmp-dev googletest libgtest-dev \
            libbenchmark-dev libfftw3-dev \
            pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib \
            python3-venv python3-pip python3-setuptools python3-wheel \
            python3-scipy python3-dask python3-distributed \
            nlohmann-json3-dev libcli11-dev \
            clang libclang-rt-14-dev verilator $(LEAN_PACKAGES)
# Only for the targets that need them.
FUZZ_PACKAGES := clang libclang-rt-14-dev
FORMAT_PACKAGES := clang-format
FUZZ_TARGETS := fir fft golden

.PHONY: all deps build build-asan demo test test-unit test-asan bench install clean \
        fuzz fuzz-merge format format-check

all: build

deps:
	@missing=""; lean=""; \
	for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || \
	  case " $(LEAN_PACKAGES) " in \
	    *" $$p "*) lean="$$lean $$p" ;; \
	    *) missing="$$missing $$p" ;; \
	  esac; \
	done; \
	if [ -n "$$missing$$lean" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing$$lean"; \
	    DEBIAN_FRONTEND=noninteractive apt-get update -q && \
	    { [ -z "$$missing" ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing; } && \
	    { [ -z "$$lean" ] || DEBIAN_FRONTEND=noninteractive \
	        apt-get install -y -q --no-install-recommends $$lean; } || exit 1; \
	  else \
	    echo "Missing packages; run as root:"; \
	    [ -z "$$missing" ] || echo "  apt-get install -y$$missing"; \
	    [ -z "$$lean" ] || echo "  apt-get install -y --no-install-recommends$$lean"; \
	    exit 1; \
	  fi; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=$(CC_GCC) \
	  -DCMAKE_CXX_COMPILER=$(CXX_GCC) $(CMAKE_ARGS)

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKIP_SANITIZE=ON \
	  -DCMAKE_C_COMPILER=$(CC_CLANG) -DCMAKE_CXX_COMPILER=$(CXX_CLANG) \
	  -DKIP_BUILD_BENCH=OFF -DKIP_BUILD_EXAMPLES=OFF $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)

# The Octave examples are printed through gnuplot's pngcairo terminal; print's notice that
# Ghostscript is missing (needed only by other formats) and Octave's exit notice about the
# gnuplot pipe are filtered out.
demo: build
	@for d in fir_demo fft_demo; do \
	  if [ -x $(BUILD)/examples/$$d ]; then \
	    echo "== $$d"; ./$(BUILD)/examples/$$d || exit 1; \
	  fi; \
	done
	@if [ -x $(BUILD)/python/kip_python ]; then \
	  for e in fir_plot fft_plot; do \
	    echo "== $$e.py"; \
	    MPLBACKEND=Agg ./$(BUILD)/python/kip_python examples/$$e.py $(BUILD)/$$e.png || exit 1; \
	  done; \
	fi
	@if cmake --build $(BUILD) --target help 2>/dev/null | grep kip_hdl_bench > /dev/null; then \
	  echo "== Verilator bench: RTL FIR checked against the FIR model through kip_fir_dpi"; \
	  cmake --build $(BUILD) --target kip_hdl_bench -j $(JOBS) > $(BUILD)/hdl/verilator.log 2>&1 \
	    || { cat $(BUILD)/hdl/verilator.log; exit 1; }; \
	  ./$(BUILD)/hdl/verilator/Vkip_bench_top +test=fir_decim || exit 1; \
	fi
	@if [ -f $(BUILD)/octave/kip_fir.mex ] && command -v octave-cli >/dev/null; then \
	  for e in fir_spectrum fft_spectrum; do \
	    echo "== $$e.m"; rm -f $(BUILD)/$$e.png; \
	    out=$$(octave-cli --no-gui --norc --no-history --quiet --no-window-system \
	      --path $(BUILD)/octave --eval "set(0, 'defaultfigurevisible', 'off'); \
	        warning('off', 'Octave:gnuplot-graphics'); source('examples/$$e.m'); \
	        set(findall(gcf, '-property', 'fontsize'), 'fontsize', 5); \
	        print('-dpngcairo', '-S900,650', '$(BUILD)/$$e.png'); disp('wrote $(BUILD)/$$e.png')" \
	      2>&1); rc=$$?; \
	    printf '%s\n' "$$out" | grep -v "Ghostscript\|execution_exception"; \
	    [ $$rc = 0 ] && [ -s $(BUILD)/$$e.png ] || exit 1; \
	  done; \
	fi

test-unit: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

test: format-check test-unit test-asan

bench: build
	@for b in $(BUILD)/bench/bench_*; do \
	  [ -x $$b ] || continue; echo "== $$b"; $$b || exit 1; \
	done

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# libFuzzer with ASan and UBSan (clang). New inputs go to $(FUZZ_BUILD)/corpus, findings to
# $(FUZZ_BUILD)/artifacts; the committed corpus in fuzz/corpus is only read.
$(FUZZ_BUILD)/CMakeCache.txt:
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=clang \
	  -DCMAKE_CXX_COMPILER=clang++ -DKIP_SANITIZE=ON -DKIP_FUZZ=ON -DKIP_BUILD_TESTS=OFF \
	  -DKIP_BUILD_BENCH=OFF -DKIP_BUILD_EXAMPLES=OFF -DKIP_BUILD_PYTHON=OFF -DKIP_BUILD_OCTAVE=OFF \
	  $(CMAKE_ARGS)

fuzz:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(FUZZ_PACKAGES)"
	@$(MAKE) --no-print-directory $(FUZZ_BUILD)/CMakeCache.txt
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=60 \
	    -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- \
	    $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t || exit 1; \
	done

fuzz-merge:
	@for t in $(FUZZ_TARGETS); do \
	  rm -rf $(FUZZ_BUILD)/merged/$$t && mkdir -p $(FUZZ_BUILD)/merged/$$t || exit 1; \
	  $(FUZZ_BUILD)/fuzz/fuzz_$$t -set_cover_merge=1 $(FUZZ_BUILD)/merged/$$t fuzz/corpus/$$t \
	    $(FUZZ_BUILD)/corpus/$$t || exit 1; \
	  rm -f fuzz/corpus/$$t/* && cp $(FUZZ_BUILD)/merged/$$t/* fuzz/corpus/$$t/ || exit 1; \
	done

# Every C/C++ source of the tree, build directories excepted.
FORMAT_FILES = $(shell find . \( -name 'build*' -o -name '.git' \) -prune -o \
                 \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.cc' \) -type f -print)

format:
	@$(MAKE) --no-print-directory deps PACKAGES="$(FORMAT_PACKAGES)"
	$(CLANG_FORMAT) -i $(FORMAT_FILES)

format-check:
	@$(MAKE) --no-print-directory deps PACKAGES="$(FORMAT_PACKAGES)"
	$(CLANG_FORMAT) --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
