// kip_fir_dpi: the tapforge FIR model (version 6.3.1) for SystemVerilog test benches, through
// DPI-C imports of kip_fir_dpi.cpp (libkip_fir_dpi.so).
//
// Words are integers in the hardware's two's complement format: an input word x stands for
// x * 2^-data_fract_width, an output word y for y * 2^-output_fract_width. Input words are
// taken in the order of the model's frames (paths fastest, then channels): after
// num_paths * num_channels words one vector enters the model, and its outputs, if any, are
// queued at once, so kip_fir_dpi_available() tells cycle by cycle what the filter has produced.
//
// Every call that can fail returns 0 on success and non-zero on failure; the failure's text
// (the model's own message, "<name> ERROR: ...", or this layer's) is returned by
// kip_fir_dpi_message(h) until the next call on h, one line per message, ready for $display.
// A successful call can leave warnings there too: input words outside the data format (one
// line per call with their count and the first index). Creation failures return null and the
// text in msg; a successful creation leaves in msg (and in kip_fir_dpi_message) notes on
// settings the model ignores, such as a rate the filter type does not use, else "". Outputs of
// a refused call are 0.
// Nothing aborts the simulation.
//
// Handles are checked on every call: a null, destroyed or made-up handle, or a kip_fft_dpi
// handle given by mistake, is refused without being read (status 1; available and the widths
// 0; kip_fir_dpi_message(h) says why) and kip_fir_dpi_destroy ignores it.
//
// One call with side effects per statement. Calls that change a model (create, send, get,
// transform, reset, destroy) belong in statements of their own, their status kept in a
// variable that later conditions test: a simulator may evaluate every operand of && and ||
// and in any order (Verilator 5.006 evaluates them all and joins them with a bitwise &), so
//   if (kip_fir_dpi_available(h) > 0 && kip_fir_dpi_get(h, y) == 0 && y != rtl) ...
// takes an output even when none is waiting and never fires. Write instead
//   rc = kip_fir_dpi_get(h, y);
//   if (rc == 0 && y != rtl) ...
// The queries (_available, _message, _output_width, _output_fract_width) change nothing and
// may appear in conditions.
package kip_fir_dpi;

  // Creates a model from the fields most benches need; every other field of the configuration
  // record keeps its default. coeff holds the coefficients (num_coeffs is its size; empty: the
  // library's default set); rate_change
  // is set to 1 (fractional) when both rates exceed 1; output_width 0 leaves the record's
  // default (it matters only with output_rounding). Returns null on refusal, with the reason
  // in msg (on success msg holds the notes on ignored settings, else "").
  import "DPI-C" function chandle kip_fir_dpi_create(
    input string name, input real coeff[], input int filter_type, input int interp_rate,
    input int decim_rate, input int data_width, input int data_fract_width,
    input int coeff_width, input int coeff_fract_width, input int output_rounding,
    input int output_width, input int num_channels, input int num_paths, output string msg);

  // Creates a model from "field=value" settings separated by blanks or commas, for any integer
  // field of the configuration record (e.g. "filter_type=2 decim_rate=4 coeff_sets=2"); unknown
  // fields and values outside a field's range are refused with the model library's message. Values are decimal integers: leading zeros and 0x
  // prefixes are refused. num_coeffs defaults to size(coeff) / coeff_sets; an empty
  // coeff without num_coeffs (and with one coefficient set) takes the library's default taps.
  import "DPI-C" function chandle kip_fir_dpi_create_ex(
    input string name, input real coeff[], input string settings, output string msg);

  // Frees the model; h (null allowed) must not be used afterwards.
  import "DPI-C" function void kip_fir_dpi_destroy(input chandle h);

  // Messages of the latest call on h ("" when there were none).
  import "DPI-C" function string kip_fir_dpi_message(input chandle h);

  // Output format chosen by the model: width (the accumulator width at full precision) and
  // fractional bits.
  import "DPI-C" function int kip_fir_dpi_output_width(input chandle h);
  import "DPI-C" function int kip_fir_dpi_output_fract_width(input chandle h);

  // Sends one input word. A word that does not fit data_width bits (signed) is wrapped modulo
  // 2^data_width, as the model wraps every input, with a warning in kip_fir_dpi_message.
  import "DPI-C" function int kip_fir_dpi_send(input chandle h, input longint x);

  // Sends every word of x, leftmost first; stops at the first refusal. Words outside the data
  // format are wrapped as by kip_fir_dpi_send, with one warning for the call.
  import "DPI-C" function int kip_fir_dpi_send_frame(input chandle h, input longint x[]);

  // Number of output words waiting.
  import "DPI-C" function int kip_fir_dpi_available(input chandle h);

  // Takes the oldest output word; refused when none is waiting or it needs more than 64 bits.
  import "DPI-C" function int kip_fir_dpi_get(input chandle h, output longint y);

  // Fills y with the oldest size(y) output words; refused, taking nothing, when fewer wait.
  import "DPI-C" function int kip_fir_dpi_get_frame(input chandle h, output longint y[]);

  // As kip_fir_dpi_get for outputs of any width up to 256 bits, sign-extended.
  import "DPI-C" function int kip_fir_dpi_get_wide(input chandle h, output bit [255:0] y);

  // Hilbert filters (filter_type 3): re is the delayed input word, im the filter's output
  // word. Other filters: re is the output word, im is 0.
  import "DPI-C" function int kip_fir_dpi_get_complex(
    input chandle h, output longint re, output longint im);

  // Returns the model to its state after creation and drops waiting and part-sent words.
  import "DPI-C" function int kip_fir_dpi_reset(input chandle h);

endpackage
