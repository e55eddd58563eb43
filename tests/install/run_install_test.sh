#!/bin/sh
# Installs the build tree into a scratch prefix, then builds and runs a small C consumer
# against it twice, through CMake's find_package and through pkg-config, each time without a
# library path (the run path comes from CMake's imported targets, or from the .pc file's Libs);
# then asks the CMake package for its components and versions.
set -eu
build=$1; work=$2; src=$(cd "$(dirname "$0")" && pwd)/consumer
rm -rf "$work"; mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null

cmake -S "$src" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
env -u LD_LIBRARY_PATH "$work/cmake-build/consumer"

pcdir=$(dirname "$(find "$work/prefix" -name Ip_kfft_v8_0_bitacc_cmodel.pc)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs Ip_tapforge_v6_3_bitacc_cmodel Ip_kfft_v8_0_bitacc_cmodel)
cc -o "$work/consumer-pc" "$src/consumer.c" $flags
env -u LD_LIBRARY_PATH "$work/consumer-pc"

# Each component has its own version: FIR 6.3.1, FFT 8.0.0.
cmake -S "$(dirname "$src")/versions" -B "$work/versions" -DCMAKE_PREFIX_PATH="$work/prefix" \
  | sed -n 's/^-- //p' | grep -E ': (found|refused)' > "$work/versions.txt"
all="fir;fft;Ip_tapforge_v6_3_bitacc_cmodel;Ip_kfft_v8_0_bitacc_cmodel"
cat > "$work/versions.expected" <<EOF
8 fft: found 8.0.0 [fft;Ip_kfft_v8_0_bitacc_cmodel]
6.3 fir: found 6.3.1 [$all]
6: found 6.3.1 [$all]
fir fft: found 6.3.1 [$all]
8.0...9 fft: found 8.0.0 [$all]
8 fir: refused
6 fft: refused
8: refused
6.4 fir: refused
6 fir fft: refused
fir dsp: refused
8.0.0 EXACT fft: found 8.0.0 [$all]
EOF
diff -u "$work/versions.expected" "$work/versions.txt"

# The installed kip-golden finds the installed libraries by its run path alone.
"$work/prefix/bin/kip-golden" --help >/dev/null

# The installed MEX files and their help run from their own directory, without the build tree.
oct="$work/prefix/share/kip_models/octave"
if [ -d "$oct" ] && command -v octave-cli >/dev/null 2>&1; then
  octave-cli --no-gui --norc --no-history --quiet --no-window-system --eval "addpath('$oct'); \
    assert(strcmp(kip_fir('version'), '6.3.1')); kip_fft('destroy', kip_fft('create')); \
    assert(~isempty(strfind(evalc('help kip_fft'), 'kip_fft(''transform''')))"
fi
