// Checks kip_fir_direct against the FIR model, cycle by cycle: random words (with the extreme
// values mixed in) enter the RTL with random gaps; each word goes to the model through
// kip_fir_dpi in the cycle the RTL takes it, and in every cycle the RTL's output (or the absence
// of one) must match what the model has produced. Runs when +test=<NAME> is given.
// With GOLDEN the words come from +stim=<file> (+count=<words>) and every output must also equal
// the word in the same line of +golden=<file>, both read with $readmemh.
module kip_fir_bench #(
    parameter string NAME = "fir",
    parameter int DECIM = 1,
    parameter int OUTW = 33,
    parameter int ROUNDING = 0,  // output_rounding of the model: 0 full precision, 4 ties to even
    parameter bit BUG = 1'b0,
    parameter int CYCLES = 3000,
    parameter bit GOLDEN = 1'b0
) (
    input logic clk
);
  import kip_fir_dpi::*;
  import kip_bench_pkg::*;

  localparam int NTAPS = 16, DW = 16, CW = 16, ACCW = 33, MAX_WORDS = 4096;
  localparam logic signed [CW-1:0] COEFF[NTAPS] = '{
      -121, -374, -552, -160, 1236, 3546, 6082, 7828,
      7821, 6080, 3550, 1229, -166, -549, -371, -32768};

  logic rst = 1'b1;
  logic in_valid = 1'b0;
  logic signed [DW-1:0] in_data = '0;
  logic out_valid;
  logic signed [OUTW-1:0] out_data;

  kip_fir_direct #(
      .NTAPS(NTAPS), .DW(DW), .CW(CW), .ACCW(ACCW), .OUTW(OUTW), .DECIM(DECIM), .COEFF(COEFF),
      .BUG(BUG)
  ) dut (
      .clk, .rst, .in_valid, .in_data, .out_valid, .out_data
  );

  bit active = 1'b0, failed = 1'b0;
  chandle h;
  int cycle = 0, inputs = 0, outputs = 0, errors = 0;
  int unsigned rng = 32'h1234_5678;
  logic [DW-1:0] stim[MAX_WORDS];
  logic [OUTW-1:0] golden[MAX_WORDS];
  int words = 0, driven = 0, finish_cycle = CYCLES + 3;
  string golden_file, also = "";
  bit drive;

  initial active = selected_test() == NAME;

  task automatic fail_setup(string why);
    $display("FAIL %s: %s", NAME, why);
    failed = 1'b1;
    kip_bench_exit(1);
    $finish;
  endtask

  task automatic setup();
    real c[NTAPS];
    string msg, rate = "single rate", output_form = "at full precision,", fault = "";
    foreach (COEFF[k]) c[k] = real'(COEFF[k]);
    h = kip_fir_dpi_create(NAME, c, DECIM > 1 ? 2 : 0, 1, DECIM, DW, 0, CW, 0, ROUNDING,
                           ROUNDING == 0 ? 0 : OUTW, 1, 1, msg);
    if (h == null) fail_setup({"model refused: ", msg});
    else if (kip_fir_dpi_output_width(h) != OUTW)
      fail_setup($sformatf("model output width %0d, RTL %0d", kip_fir_dpi_output_width(h), OUTW));
    else if (GOLDEN) read_files();
    if (!failed) begin
      if (DECIM > 1) rate = $sformatf("decimating by %0d", DECIM);
      if (ROUNDING != 0) output_form = "rounded (ties to even) to";
      if (BUG) fault = ", with a one-bit fault in tap 11";
      $display("%s: %0d-tap RTL FIR, %s, %0d-bit data and coefficients, output %s %0d bits%s",
               NAME, NTAPS, rate, DW, output_form, OUTW, fault);
    end
  endtask

  task automatic read_files();
    string stim_file;
    if (!$value$plusargs("stim=%s", stim_file) || !$value$plusargs("golden=%s", golden_file)
        || !$value$plusargs("count=%d", words) || words < 1 || words > MAX_WORDS)
    begin
      fail_setup($sformatf("needs +stim=<file> +golden=<file> +count=<1 to %0d>", MAX_WORDS));
      return;
    end
    $readmemh(stim_file, stim, 0, words - 1);
    $readmemh(golden_file, golden, 0, words / DECIM - 1);
    $display("%s: %0d input words from %s, golden outputs from %s", NAME, words, stim_file,
             golden_file);
  endtask

  // Compares what the RTL shows in this cycle with what the model has produced so far.
  task automatic check_output();
    longint y;
    if (out_valid) begin
      if (kip_fir_dpi_get(h, y) != 0) begin
        errors++;
        if (errors <= 5)
          $display("%s: cycle %0d: RTL output %0d, the model has none (%s)", NAME, cycle,
                   out_data, kip_fir_dpi_message(h));
      end else begin
        outputs++;
        if (y != longint'(out_data)) begin
          errors++;
          if (errors <= 5)
            $display("%s: mismatch at cycle %0d, output %0d: RTL %0d, model %0d", NAME, cycle,
                     outputs, out_data, y);
        end else if (GOLDEN && (outputs > words / DECIM || out_data != golden[outputs-1])) begin
          errors++;
          if (errors <= 5)
            $display("%s: mismatch at cycle %0d, output %0d: RTL %0d, line %0d of %s %h", NAME,
                     cycle, outputs, out_data, outputs, golden_file, golden[outputs-1]);
        end
      end
    end
    if (kip_fir_dpi_available(h) != 0) begin
      errors++;
      if (errors <= 5)
        $display("%s: cycle %0d: the model has an output the RTL did not produce", NAME, cycle);
      void'(kip_fir_dpi_get(h, y));
    end
  endtask

  function automatic logic signed [DW-1:0] stimulus();
    int unsigned r = next_random(rng);
    case (r[3:0])
      0: return {1'b1, {(DW - 1) {1'b0}}};  // most negative
      1: return {1'b0, {(DW - 1) {1'b1}}};  // most positive
      default: return DW'(next_random(rng));
    endcase
  endfunction

  always @(posedge clk) begin
    if (active && !failed) begin
      if (cycle == 0) setup();
      if (cycle == 3) rst <= 1'b0;
      if (cycle > 3) begin
        check_output();
        // The word driven last cycle was taken by the RTL at this edge.
        if (in_valid) begin
          if (kip_fir_dpi_send(h, longint'(in_data)) != 0)
            fail_setup({"model refused a word: ", kip_fir_dpi_message(h)});
          inputs++;
        end
        if (GOLDEN ? driven < words : cycle < CYCLES) begin
          drive = next_random(rng) % 4 != 0;
          in_valid <= drive;
          in_data <= GOLDEN ? stim[driven] : stimulus();
          if (drive) driven++;
          finish_cycle <= cycle + 4;
        end else begin
          in_valid <= 1'b0;
        end
        if (cycle == finish_cycle) begin
          if (GOLDEN && outputs != words / DECIM) begin
            $display("FAIL %s: %0d outputs, %0d expected", NAME, outputs, words / DECIM);
            kip_bench_exit(1);
          end else if (errors == 0 && outputs > 0) begin
            if (GOLDEN) also = {" and to ", golden_file};
            $display("PASS %s: %0d inputs, %0d outputs of %0d bits equal to the model%s, cycle by cycle",
                     NAME, inputs, outputs, OUTW, also);
            kip_bench_exit(0);
          end else begin
            $display("FAIL %s: %0d of %0d outputs differ", NAME, errors, outputs);
            kip_bench_exit(1);
          end
          kip_fir_dpi_destroy(h);
          $finish;
        end
      end
      cycle <= cycle + 1;
    end
  end
endmodule
