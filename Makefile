# Top-level driver: installs missing Debian packages, configures and builds with CMake.
#   make demo    build and run the example programs
#   make test    build and run every test, then the unit tests under ASan+UBSan
#   make bench   build and run the benchmarks
#   make install PREFIX=/path

BUILD      ?= build
ASAN_BUILD ?= build-asan
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

# Installed without their recommendations, which would add a desktop stack (about 150 more
# packages, 120 MB); gnuplot-nox is the one recommendation used, by make demo's plot.
LEAN_PACKAGES := octave liboctave-dev gnuplot-nox

PACKAGES := cmake make g++ gcc pkg-config libgmp-dev googletest libgtest-dev \
            libbenchmark-dev libfftw3-dev \
            pybind11-dev python3-dev python3-numpy python3-pytest python3-matplotlib \
            python3-scipy python3-dask python3-distributed \
            nlohmann-json3-dev libcli11-dev \
            verilator $(LEAN_PACKAGES)

.PHONY: all deps build build-asan demo test test-unit test-asan bench install clean

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
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DKIP_SANITIZE=ON \
	  -DKIP_BUILD_BENCH=OFF -DKIP_BUILD_EXAMPLES=OFF $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)

demo: build
	@for d in fir_demo fft_demo; do \
	  if [ -x $(BUILD)/examples/$$d ]; then \
	    echo "== $$d"; ./$(BUILD)/examples/$$d || exit 1; \
	  fi; \
	done
	@if [ -x $(BUILD)/python/kip_python ]; then \
	  echo "== fir_plot.py"; \
	  MPLBACKEND=Agg ./$(BUILD)/python/kip_python examples/fir_plot.py $(BUILD)/fir_plot.png || exit 1; \
	fi
	@if cmake --build $(BUILD) --target help 2>/dev/null | grep kip_hdl_bench > /dev/null; then \
	  echo "== Verilator bench: RTL FIR checked against the FIR model through kip_fir_dpi"; \
	  cmake --build $(BUILD) --target kip_hdl_bench -j $(JOBS) > $(BUILD)/hdl/verilator.log 2>&1 \
	    || { cat $(BUILD)/hdl/verilator.log; exit 1; }; \
	  ./$(BUILD)/hdl/verilator/Vkip_bench_top +test=fir_decim || exit 1; \
	fi
	@if [ -f $(BUILD)/octave/kip_fir.mex ] && command -v octave-cli >/dev/null; then \
	  echo "== fir_spectrum.m"; \
	  octave-cli --no-gui --norc --no-history --quiet --no-window-system \
	    --path $(BUILD)/octave --eval "set(0, 'defaultfigurevisible', 'off'); \
	      warning('off', 'Octave:gnuplot-graphics'); source('examples/fir_spectrum.m'); \
	      print('-dpng', '$(BUILD)/fir_spectrum.png'); disp('wrote $(BUILD)/fir_spectrum.png')" \
	    || exit 1; \
	fi

test-unit: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

test: test-unit test-asan

bench: build
	@for b in $(BUILD)/bench/bench_*; do \
	  [ -x $$b ] || continue; echo "== $$b"; $$b || exit 1; \
	done

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
