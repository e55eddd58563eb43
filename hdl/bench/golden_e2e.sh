#!/bin/sh
# End to end through golden files: kip-golden writes the FIR model's outputs for a stimulus
# file, then the Verilator bench reads both files with $readmemh, drives the RTL with the
# stimulus and compares every output with its golden word (and with the model through DPI).
# Usage: golden_e2e.sh <kip-golden> <Vkip_bench_top> <scratch folder>
set -eu
tool=$1; sim=$2; work=$3
rm -rf "$work"
mkdir -p "$work"
cd "$work"
# The taps and widths of the RTL in kip_fir_bench.sv.
cat > fir.json <<'JSON'
{
  "name": "fir_golden",
  "coeff": [-121, -374, -552, -160, 1236, 3546, 6082, 7828,
            7821, 6080, 3550, 1229, -166, -549, -371, -32768],
  "data_width": 16,
  "coeff_width": 16
}
JSON
# 2000 repeatable pseudo-random 16-bit words, the extremes among them, as $readmemh reads them.
awk 'BEGIN {
  s = 12345
  for (i = 0; i < 2000; i++) {
    s = (s * 69069 + 1) % 4294967296
    w = int(s / 65536)
    if (i % 97 == 5) w = 32768
    if (i % 89 == 7) w = 32767
    printf "%04x\n", w
  }
}' > stim.txt
"$tool" fir --config fir.json --input stim.txt --output golden.txt --radix hex
"$sim" +test=fir_golden +stim=stim.txt +golden=golden.txt +count=2000
