// Direct-form FIR filter with integer coefficients: takes one DW-bit word per in_valid and
// produces an output after every DECIM-th input (y[n] = sum of COEFF[k] * x[n-k], n = DECIM-1,
// 2*DECIM-1, ...), one cycle later. The ACCW-bit sum is the output at full precision
// (OUTW = ACCW), or rounded to OUTW bits, ties to even. BUG = 1 flips the least significant bit
// of tap 11, a deliberate fault for checking that the bench catches it.
module kip_fir_direct #(
    parameter int NTAPS = 16,
    parameter int DW = 16,
    parameter int CW = 16,
    parameter int ACCW = 36,
    parameter int OUTW = ACCW,
    parameter int DECIM = 1,
    parameter logic signed [CW-1:0] COEFF[NTAPS] = '{default: '0},
    parameter bit BUG = 1'b0
) (
    input logic clk,
    input logic rst,
    input logic in_valid,
    input logic signed [DW-1:0] in_data,
    output logic out_valid,
    output logic signed [OUTW-1:0] out_data
);
  localparam int D = ACCW - OUTW;  // bits dropped by rounding

  logic signed [DW-1:0] hist[NTAPS-1];  // earlier samples, newest first
  logic signed [ACCW-1:0] acc;
  logic signed [OUTW-1:0] rounded;
  logic [$clog2(DECIM+1)-1:0] phase;

  function automatic logic signed [CW-1:0] tap(int k);
    return (BUG && k == 11) ? COEFF[k] ^ CW'(1) : COEFF[k];
  endfunction

  always_comb begin
    acc = ACCW'(tap(0)) * ACCW'(in_data);
    for (int k = 1; k < NTAPS; k++) acc += ACCW'(tap(k)) * ACCW'(hist[k-1]);
  end

  generate
    if (D == 0) begin : g_full
      assign rounded = acc;
    end else begin : g_round
      wire signed [OUTW-1:0] q = acc[ACCW-1:D];  // floor(acc / 2^D)
      wire [D-1:0] r = acc[D-1:0];
      wire up = r > {1'b1, {(D - 1) {1'b0}}} || (r == {1'b1, {(D - 1) {1'b0}}} && q[0]);
      assign rounded = q + OUTW'(up);
    end
  endgenerate

  always_ff @(posedge clk) begin
    if (rst) begin
      phase <= '0;
      out_valid <= 1'b0;
      out_data <= '0;
      for (int k = 0; k < NTAPS - 1; k++) hist[k] <= '0;
    end else begin
      out_valid <= 1'b0;
      if (in_valid) begin
        hist[0] <= in_data;
        for (int k = 1; k < NTAPS - 1; k++) hist[k] <= hist[k-1];
        if (32'(phase) == DECIM - 1) begin
          out_valid <= 1'b1;
          out_data <= rounded;
          phase <= '0;
        end else begin
          phase <= phase + 1'b1;
        end
      end
    end
  end
endmodule
