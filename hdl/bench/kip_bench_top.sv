// Top of the Verilator benches; +test=<name> selects one: fir (16-tap single-rate filter),
// fir_bug (the same RTL with a one-bit fault, expected to fail), fir_decim (decimate by 4,
// rounded output), fir_golden (fir, also compared with a golden file), fft (two FFT
// architectures), dpi (error reporting and wide words).
module kip_bench_top (
    input logic clk
);
  import kip_bench_pkg::*;

  kip_fir_bench #(.NAME("fir")) u_fir (.clk);
  kip_fir_bench #(.NAME("fir_bug"), .BUG(1'b1)) u_fir_bug (.clk);
  kip_fir_bench #(.NAME("fir_decim"), .DECIM(4), .OUTW(30), .ROUNDING(4)) u_fir_decim (.clk);
  kip_fir_bench #(.NAME("fir_golden"), .GOLDEN(1'b1)) u_fir_golden (.clk);
  kip_fft_bench u_fft (.clk);
  kip_dpi_checks u_dpi (.clk);

  initial begin
    string t = selected_test();
    if (t != "fir" && t != "fir_bug" && t != "fir_decim" && t != "fir_golden" && t != "fft"
        && t != "dpi") begin
      $display("usage: +test=fir|fir_bug|fir_decim|fft|dpi");
      $display("       +test=fir_golden +stim=<file> +golden=<file> +count=<words>");
      kip_bench_exit(2);
      $finish;
    end
  end
endmodule
