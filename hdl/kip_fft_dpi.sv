// kip_fft_dpi: the kfft FFT model (version 8.0) for SystemVerilog test benches, through DPI-C
// imports of kip_fft_dpi.cpp (libkip_fft_dpi.so).
//
// Samples and bins are integers in the hardware's two's complement words: an input word x of
// C_INPUT_WIDTH bits stands for x * 2^-(C_INPUT_WIDTH-1), and so does an output word, whose
// width is kip_fft_dpi_output_width, as the model library defines it (C_INPUT_WIDTH when scaled
// or block floating point, C_INPUT_WIDTH + C_NFFT_MAX + 1 unscaled). The fixed-point modes
// only: C_USE_FLT_PT is always 0.
//
// Failures return a non-zero status, and kip_fft_dpi_message(h) returns the library's error
// line ("ERROR:kfft_v8_0:...") until the next call on h, ready for $display. After a successful
// transform whose schedule overflowed it holds a warning saying so. Creation failures
// return null and the line in msg. Error lines go only to the simulation; warning lines are
// written to the standard error stream, as for any caller.
//
// Handles are checked on every call: a null, destroyed or made-up handle, or a kip_fir_dpi
// handle given by mistake, is refused without being read (status 1, the library's code for a
// null state; kip_fft_dpi_output_width 0; kip_fft_dpi_message(h) says why) and
// kip_fft_dpi_destroy ignores it.
//
// One call with side effects per statement: kip_fft_dpi_create, _transform and _destroy in
// statements of their own, their status kept in a variable that later conditions test. A
// simulator may evaluate every operand of && and || and in any order (Verilator 5.006 evaluates
// them all), so a call inside a condition is not skipped by the operands before it. Write
//   rc = kip_fft_dpi_transform(h, ...);
//   if (rc != 0 || xk_re[k] != rtl_re) $error(...);
// The queries (_message, _output_width) change nothing and may appear in conditions.
package kip_fft_dpi;

  // Creates a model from the generics C_NFFT_MAX, C_ARCH, C_HAS_NFFT, C_INPUT_WIDTH,
  // C_TWIDDLE_WIDTH, C_HAS_SCALING, C_HAS_BFP, C_HAS_ROUNDING. Returns null on refusal, with
  // the library's message in msg ("" on success).
  import "DPI-C" function chandle kip_fft_dpi_create(
    input int nfft_max, input int arch, input int has_nfft, input int input_width,
    input int twiddle_width, input int has_scaling, input int has_bfp, input int has_rounding,
    output string msg);

  // Frees the model; h (null allowed) must not be used afterwards.
  import "DPI-C" function void kip_fft_dpi_destroy(input chandle h);

  // Message of the latest call on h: its error line, the overflow warning, or "".
  import "DPI-C" function string kip_fft_dpi_message(input chandle h);

  // Width of the output words of a frame of 2^nfft points (nfft is ignored unless C_HAS_NFFT);
  // 0 for an nfft the model refuses.
  import "DPI-C" function int kip_fft_dpi_output_width(input chandle h, input int nfft);

  // Transforms one frame of N = 2^nfft points (N = 2^C_NFFT_MAX unless C_HAS_NFFT).
  // direction: 1 forward, 0 inverse (no 1/N). scaling_sch: per-stage right shifts, element 0
  // first, read only in scaled mode without block floating point; an empty array takes the
  // model library's default schedule, which divides by 2N and never overflows. xn_re/xn_im: N input words
  // from the left; longer arrays are allowed and their tail ignored. xk_re/xk_im: receive N
  // output words from the left, and 0 in the rest. blk_exp, overflow: as the model.
  // Returns 0, or on refusal (every output then 0) the library's code (1 to 24), 100 if a bin
  // is not a whole output word (not expected) or 101 when memory runs out. From C, null
  // arrays or result pointers are refused with the library's codes for them (8, 11, 20, 21;
  // 2 for blk_exp or overflow).
  import "DPI-C" function int kip_fft_dpi_transform(
    input chandle h, input int nfft, input int direction, input int scaling_sch[],
    input longint xn_re[], input longint xn_im[], output longint xk_re[],
    output longint xk_im[], output int blk_exp, output int overflow);

endpackage
