// Sends 64-point frames from SystemVerilog through kip_fft_dpi and checks the bins against
// values computed here: an impulse (every bin equal to it), DC (everything in bin 0), both
// exact, and a complex tone (its bin holds N times the amplitude; every bin within a few
// words of the exact DFT of the quantised input), forward and inverse, unscaled and scaled,
// for the radix-4 burst and the pipelined streaming architectures. Runs with +test=fft.
module kip_fft_bench (
    input logic clk
);
  import kip_fft_dpi::*;
  import kip_bench_pkg::*;

  localparam int NFFT = 6, N = 1 << NFFT, IW = 16;
  localparam real PI = 3.14159265358979323846;

  bit active = 1'b0, done = 1'b0;
  int checks = 0, errors = 0;
  longint xr[N], xi[N], yr[N], yi[N];

  initial active = selected_test() == "fft";

  task automatic report(string what, bit ok);
    checks++;
    if (!ok) begin
      errors++;
      $display("fft: FAILED %s", what);
    end
  endtask

  // Runs one frame and compares every bin with (er, ei) within tol words.
  task automatic frame(chandle h, string what, int direction, int sch[3], real er[N],
                       real ei[N], real tol);
    int blk_exp, overflow, rc;
    real worst = 0.0;
    rc = kip_fft_dpi_transform(h, NFFT, direction, sch, xr, xi, yr, yi, blk_exp, overflow);
    if (rc != 0) begin
      report($sformatf("%s: status %0d: %s", what, rc, kip_fft_dpi_message(h)), 1'b0);
      return;
    end
    for (int k = 0; k < N; k++) begin
      real d = (real'(yr[k]) - er[k]) ** 2 + (real'(yi[k]) - ei[k]) ** 2;
      if (d > worst) worst = d;
    end
    report($sformatf("%s: largest bin error %0.3f words, allowed %0.1f", what, $sqrt(worst), tol),
           $sqrt(worst) <= tol && overflow == 0 && blk_exp == 0);
  endtask

  task automatic arch_checks(int arch, string name);
    chandle h;
    string msg;
    int sch[3];
    real er[N], ei[N];
    real scale;
    string mode;
    for (int s = 0; s < 2; s++) begin
      bit scaled = s[0];
      mode = mode;
      h = kip_fft_dpi_create(NFFT, arch, 0, IW, 16, s, 0, 0, msg);
      if (h == null) begin
        report({name, ": create refused: ", msg}, 1'b0);
        continue;
      end
      sch = '{2, 2, 2};  // divides by 64 in three radix-4 stages
      scale = scaled ? 1.0 / N : 1.0;
      // Impulse of 193 * 64 at n = 0: every bin equal to it (scaled: divided by 64, exactly).
      foreach (xr[n]) begin
        xr[n] = n == 0 ? 12352 : 0;
        xi[n] = n == 0 ? -4096 : 0;
      end
      foreach (er[k]) begin
        er[k] = 12352 * scale;
        ei[k] = -4096 * scale;
      end
      frame(h, $sformatf("%s %s impulse forward", name, mode), 1, sch,
            er, ei, 0.0);
      frame(h, $sformatf("%s %s impulse inverse", name, mode), 0, sch,
            er, ei, 0.0);
      // DC: N times the value in bin 0, zero elsewhere.
      foreach (xr[n]) begin
        xr[n] = 12345;
        xi[n] = -777;
      end
      foreach (er[k]) begin
        er[k] = k == 0 ? 12345.0 * N * scale : 0.0;
        ei[k] = k == 0 ? -777.0 * N * scale : 0.0;
      end
      frame(h, $sformatf("%s %s DC", name, mode), 1, sch, er, ei, 0.0);
      // Tone in bin 5, amplitude 16000: compared with the exact DFT of the quantised samples.
      foreach (xr[n]) begin
        xr[n] = longint'($rtoi($floor(16000.0 * $cos(2.0 * PI * 5 * n / N) + 0.5)));
        xi[n] = longint'($rtoi($floor(16000.0 * $sin(2.0 * PI * 5 * n / N) + 0.5)));
      end
      foreach (er[k]) begin
        real sr = 0.0, si = 0.0;
        for (int n = 0; n < N; n++) begin
          real a = -2.0 * PI * real'(k * n % N) / N;
          sr += real'(xr[n]) * $cos(a) - real'(xi[n]) * $sin(a);
          si += real'(xr[n]) * $sin(a) + real'(xi[n]) * $cos(a);
        end
        er[k] = sr * scale;
        ei[k] = si * scale;
      end
      frame(h, $sformatf("%s %s tone", name, mode), 1, sch, er, ei,
            scaled ? 4.0 : 32.0);
      kip_fft_dpi_destroy(h);
    end
  endtask

  always @(posedge clk) begin
    if (active && !done) begin
      done <= 1'b1;
      arch_checks(1, "radix-4 burst");
      arch_checks(3, "pipelined streaming");
      if (errors == 0) begin
        $display("PASS fft: %0d frames of %0d points equal to the expected bins", checks, N);
        kip_bench_exit(0);
      end else begin
        $display("FAIL fft: %0d of %0d frames wrong", errors, checks);
        kip_bench_exit(1);
      end
      $finish;
    end
  end
endmodule
