#!/bin/sh
# Installs the build tree into a scratch prefix, then builds and runs a small C consumer
# against it twice: through CMake's find_package and through pkg-config.
set -eu
build=$1; work=$2; src=$(cd "$(dirname "$0")" && pwd)/consumer
rm -rf "$work"; mkdir -p "$work"
cmake --install "$build" --prefix "$work/prefix" >/dev/null
libdir=$(ls -d "$work"/prefix/lib*/ | head -n 1)

cmake -S "$src" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/cmake-build/consumer"

pcdir=$(dirname "$(find "$work/prefix" -name Ip_kfft_v8_0_bitacc_cmodel.pc)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs Ip_tapforge_v6_3_bitacc_cmodel Ip_kfft_v8_0_bitacc_cmodel)
cc -o "$work/consumer-pc" "$src/consumer.c" $flags
LD_LIBRARY_PATH="$libdir" "$work/consumer-pc"

# The installed kip-golden finds the installed libraries by its run path alone.
"$work/prefix/bin/kip-golden" --help >/dev/null

# The installed MEX files and their help run from their own directory, without the build tree.
oct="$work/prefix/share/kip_models/octave"
if [ -d "$oct" ] && command -v octave-cli >/dev/null 2>&1; then
  octave-cli --no-gui --norc --no-history --quiet --no-window-system --eval "addpath('$oct'); \
    assert(strcmp(kip_fir('version'), '6.3.1')); kip_fft('destroy', kip_fft('create')); \
    assert(~isempty(strfind(evalc('help kip_fft'), 'kip_fft(''transform''')))"
fi
