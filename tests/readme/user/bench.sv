// The bench a reader of the README adds around fir_check.sv: the RTL under test (a 4-tap
// direct-form FIR with the taps 1 3 3 1 whose output is valid in the clock of its input), a
// clock and 200 pseudo-random 16-bit input words, the extremes among them. +fault=N flips the
// lowest bit of the RTL's Nth output, which fir_check must report. With one output waiting at
// each check, a check that calls kip_fir_dpi_get inside a condition after
// kip_fir_dpi_available misses the fault under Verilator 5.006.
module bench;
  bit clk, in_valid, out_valid;
  longint in_word, rtl_out;
  logic signed [15:0] taps[3];
  int fault = 0, sent = 0;
  int unsigned state = 32'h1234_5678;

  fir_check check (.clk, .in_valid, .in_word, .out_valid, .rtl_out);
  fft_example fft ();

  function automatic logic signed [15:0] next_word();
    state = state * 1664525 + 1013904223;
    case (state[31:29])
      0: return 16'sh8000;
      1: return 16'sh7fff;
      default: return state[15:0];
    endcase
  endfunction

  initial begin
    void'($value$plusargs("fault=%d", fault));
    taps = '{default: 0};
    forever #5 clk = ~clk;
  end

  // Inputs and outputs change on the falling edge; fir_check samples them on the rising one.
  always @(negedge clk) begin
    if (sent < 200) begin
      logic signed [15:0] x = next_word();
      longint y = longint'(x) + 3 * longint'(taps[0]) + 3 * longint'(taps[1])
                  + longint'(taps[2]);
      sent++;
      taps <= '{x, taps[0], taps[1]};
      in_word <= longint'(x);
      rtl_out <= sent == fault ? y ^ 1 : y;
      in_valid <= 1;
      out_valid <= 1;
    end else begin
      $display("bench: %0d RTL outputs checked", sent);
      $finish;
    end
  end
endmodule
