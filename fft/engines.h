// FFT engines: the twiddle table, the engine base class and the three datapaths
// (radix-4 burst, radix-2 burst and lite, pipelined radix-2^2 streaming).
//
// Every register of the hardware datapath is modelled in the exact KFix format of the
// core (width, fraction bits, quantisation, overflow). The engines hold those registers
// as raw two's complement integers (see fixed_raw.h): every format they use is signed,
// WRAP-ping and narrow enough for a machine integer, so the raw model is bit-identical to
// KFix arithmetic and runs without any allocation per butterfly. Where the widths allow,
// the stages run on doubles holding the same raw integers exactly (fp_stage.h), four
// butterflies at a time; a stage in which any register would wrap is redone on integers.
//
// Driving an engine for one frame (FrameEngine, the interface of R4_loop, R2_loop and
// R22_pipeline, one of which C_ARCH selects):
//   1. set_frame(cfg)            per-frame setter: copies the frame geometry written by
//                                set_frame_geometry(); resets the input headroom to 32.
//   2. load_frame(re, im)        all N conditioned samples, as N calls of load_input():
//      load_input(n, re, im)     for n = 0..N-1: one conditioned sample in input units
//                                (input_width bits, [-1, 1)). The engine divides it by the
//                                unscaled/block floating point headroom factor itself,
//                                stores it at its own position for sample n and updates the
//                                input headroom (burst engines).
//   3. set_direction(d)          1 forward, 0 inverse (any other non-zero value: forward).
//      set_scaling_schedule(p)   scaled mode: sum of scaling_sch[i] * 4^i (pack_schedule()).
//   4. run(rom)                  transforms the frame in place.
//   5. read_frame(re, im)        all N bins, as N calls of read_output():
//      read_output(k, re, im)    for k = 0..N-1: bin k in natural order, exact, in the
//                                engine's data units (simulate applies the final
//                                2^(C_NFFT_MAX+1) factor of the unscaled modes itself).
//   6. block_exponent(), overflow()   the engine's raw results: the block exponent is the
//                                sum of the stage shifts for the burst engines (in the
//                                scaled mode the schedule's sum) and the normalisation
//                                shift of the pipelined engine in block floating point;
//                                simulate zeroes what its mode does not report.
// Constructors take FFT_CONFIG (from derive_fft_config()) and throw std::invalid_argument
// for widths no generics produce, std::bad_alloc when memory runs out.
// Out-of-range arguments are refused (false) without touching memory; run() refuses a
// frame that was not set successfully or a twiddle table of another size or width.
// Samples are stored as a KFix assignment into the word format would store them
// (TRUNCATE, WRAP; an infinity stores 0). A NaN sample stands for an invalid value: every
// bin of that frame then reads as NaN, as every bin depends on every sample.
#ifndef KFFT_ENGINES_H
#define KFFT_ENGINES_H

#include "engine_r2.h"
#include "engine_r22.h"
#include "engine_r4.h"
#include "twiddle_rom.h"

#endif // KFFT_ENGINES_H
