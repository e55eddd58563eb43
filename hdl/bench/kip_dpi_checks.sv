// Checks that failures reach the simulation as a status and a message, never a crash, that
// multi-channel words keep their order, and that Hilbert (complex) outputs and outputs wider
// than 64 bits arrive exactly.
// Runs with +test=dpi.
module kip_dpi_checks (
    input logic clk
);
  import kip_fir_dpi::*;
  import kip_fft_dpi::*;
  import kip_bench_pkg::*;

  bit active = 1'b0, done = 1'b0;
  int checks = 0, errors = 0;

  initial active = selected_test() == "dpi";

  task automatic expect_text(string what, bit ok, string text, string part);
    checks++;
    if (ok && contains(text, part)) begin
      $display("dpi: %s -> \"%s\"", what, text);
    end else begin
      errors++;
      $display("dpi: FAILED %s: got \"%s\", expected a message with \"%s\"", what, text, part);
    end
  endtask

  task automatic fir_checks();
    chandle h;
    string msg;
    real c[3] = '{1.0, 2.0, 1.0};
    real wide_c[2] = '{-549755813887.0, 3.0};  // -(2^39 - 1)
    real one_c[1] = '{1.0};
    real two_c[2] = '{1.0, 1.0};
    real hilbert_c[7] = '{-1.0, 0.0, 3.0, 0.0, -3.0, 0.0, 1.0};
    longint re[6], im[6];
    longint hilbert_re[6] = '{0, 0, 0, 1, 10, 2};
    longint hilbert_im[6] = '{-1, -10, 1, 10, -27, -10};
    longint frame_in[4] = '{1, 10, 2, 20};
    longint frame_out[4], frame_big[5], frame_expected[4] = '{1, 10, 3, 30};
    longint y;
    bit [255:0] w, expect_w;
    int rc, get_rc;

    h = kip_fir_dpi_create("f1", c, 7, 1, 1, 16, 0, 16, 0, 0, 0, 1, 1, msg);
    expect_text("FIR filter_type 7", h == null, msg, "Invalid value 7 for filter_type");
    h = kip_fir_dpi_create_ex("f1", c, "decim_rat=4", msg);
    expect_text("FIR unknown field", h == null, msg, "'decim_rat'");
    h = kip_fir_dpi_create_ex("f1", c, "num_coeffs=4", msg);
    expect_text("FIR short coefficient array", h == null, msg, "holds 3 values");

    h = kip_fir_dpi_create_ex("f1", c, "data_width=16", msg);
    expect_text("FIR valid model", h != null && msg == "", "", "");
    rc = kip_fir_dpi_get(h, y);
    expect_text("FIR get with nothing waiting", rc != 0, kip_fir_dpi_message(h), "No output");
    rc = kip_fir_dpi_send(h, 32768);  // wrapped to -32768, as the model wraps its inputs
    expect_text("FIR word beyond 16 bits", rc == 0, kip_fir_dpi_message(h),
                "outside the data format");
    rc = kip_fir_dpi_send(h, -32768);
    rc |= kip_fir_dpi_get(h, y);
    expect_text("FIR -32768 accepted, output -32768", rc == 0 && y == -32768,
                $sformatf("%0d", y), "-32768");
    kip_fir_dpi_destroy(h);

    // Fractional formats: the word, not its value, crosses the interface.
    h = kip_fir_dpi_create_ex("frac", one_c, "data_fract_width=15 coeff_fract_width=3", msg);
    rc = kip_fir_dpi_send(h, -12345);
    rc |= kip_fir_dpi_get(h, y);
    expect_text("FIR Q15 data, tap 1.0 in Q3: output word -12345 * 8",
                rc == 0 && y == -12345 * 8 && kip_fir_dpi_output_fract_width(h) == 18,
                $sformatf("%0d, %0d fraction bits", y, kip_fir_dpi_output_fract_width(h)),
                "-98760, 18 fraction bits");
    kip_fir_dpi_destroy(h);

    // Two channels: words alternate between them, outputs come back in the same order.
    h = kip_fir_dpi_create("two", two_c, 0, 1, 1, 16, 0, 16, 0, 0, 0, 2, 1, msg);
    rc = kip_fir_dpi_send_frame(h, frame_in);
    expect_text("FIR two channels: four outputs waiting",
                rc == 0 && kip_fir_dpi_available(h) == 4,
                $sformatf("%0d waiting", kip_fir_dpi_available(h)), "4 waiting");
    rc = kip_fir_dpi_get_frame(h, frame_big);
    expect_text("FIR get_frame of five words", rc != 0 && kip_fir_dpi_available(h) == 4,
                kip_fir_dpi_message(h), "takes 5 output words but 4 are waiting");
    rc = kip_fir_dpi_get_frame(h, frame_out);
    expect_text("FIR two channels in order",
                rc == 0 && frame_out == frame_expected && kip_fir_dpi_available(h) == 0,
                $sformatf("%0d %0d %0d %0d", frame_out[0], frame_out[1], frame_out[2], frame_out[3]),
                "1 10 3 30");
    kip_fir_dpi_destroy(h);

    // Hilbert transformer: complex outputs, the delayed input word and the filter's word.
    h = kip_fir_dpi_create_ex("hilbert", hilbert_c, "filter_type=3", msg);
    rc = kip_fir_dpi_send_frame(h, frame_in);
    rc |= kip_fir_dpi_send(h, 30);
    rc |= kip_fir_dpi_send(h, 40);
    // A call with side effects gets its own statement: a simulator may evaluate every operand
    // of && (Verilator 5.006 does), so a call inside a condition is not skipped by the others.
    get_rc = kip_fir_dpi_get(h, y);
    expect_text("FIR Hilbert: get refused", rc == 0 && get_rc != 0 && y == 0, "", "");
    expect_text("FIR Hilbert: get's message", 1'b1, kip_fir_dpi_message(h),
                "use kip_fir_dpi_get_complex");
    for (int i = 0; i < 6; i++) rc |= kip_fir_dpi_get_complex(h, re[i], im[i]);
    expect_text("FIR Hilbert outputs", rc == 0 && re == hilbert_re && im == hilbert_im,
                $sformatf("(%0d,%0d) (%0d,%0d) (%0d,%0d) (%0d,%0d)", re[0], im[0], re[1], im[1],
                          re[3], im[3], re[5], im[5]), "(0,-1) (0,-10) (1,10) (2,-10)");
    kip_fir_dpi_destroy(h);

    // 40-bit data and coefficients: products need 79 bits and more, beyond a longint.
    h = kip_fir_dpi_create_ex("wide", wide_c, "data_width=40 coeff_width=40", msg);
    expect_text("FIR wide model", h != null, msg, "");
    rc = kip_fir_dpi_send(h, -64'sd549755813888);  // -2^39
    rc |= kip_fir_dpi_send(h, 64'sd549755813887);  // 2^39 - 1
    rc |= kip_fir_dpi_get(h, y);
    expect_text("FIR 64-bit get of a wider word", rc != 0, kip_fir_dpi_message(h), "get_wide");
    rc = kip_fir_dpi_get_wide(h, w);
    expect_w = 256'sd549755813887 * 256'sd549755813888;
    expect_text("FIR first wide output", rc == 0 && w == expect_w, $sformatf("%h", w), "");
    rc = kip_fir_dpi_get_wide(h, w);
    expect_w = -256'sd549755813887 * 256'sd549755813887 - 256'sd3 * 256'sd549755813888;
    expect_text("FIR second wide output", rc == 0 && w == expect_w, $sformatf("%h", w), "");
    expect_text("FIR output width above 64", kip_fir_dpi_output_width(h) > 64,
                $sformatf("%0d bits", kip_fir_dpi_output_width(h)), "bits");
    kip_fir_dpi_destroy(h);
  endtask

  task automatic fft_checks();
    chandle h;
    string msg;
    int sch[3] = '{2, 2, 4};
    longint xr[64], xi[64], yr[64], yi[64], short_x[8];
    int blk_exp, overflow, rc;

    h = kip_fft_dpi_create(6, 5, 0, 16, 16, 1, 0, 0, msg);
    expect_text("FFT C_ARCH 5", h == null, msg,
                "ERROR:kfft_v8_0:create_state called with invalid C_ARCH generic");
    h = kip_fft_dpi_create(6, 1, 0, 16, 16, 1, 0, 0, msg);
    expect_text("FFT valid model", h != null, msg, "");
    foreach (xr[n]) begin
      xr[n] = 0;
      xi[n] = 0;
    end
    foreach (yr[k]) yr[k] = 5;
    rc = kip_fft_dpi_transform(h, 6, 1, sch, xr, xi, yr, yi, blk_exp, overflow);
    expect_text("FFT schedule value 4", rc == 17 && yr[63] == 0, kip_fft_dpi_message(h),
                "scaling_sch[2] = 4");
    sch[2] = 2;
    xr[3] = 32768;
    rc = kip_fft_dpi_transform(h, 6, 1, sch, xr, xi, yr, yi, blk_exp, overflow);
    expect_text("FFT word beyond 16 bits", rc == 10, kip_fft_dpi_message(h), "xn_re[3]");
    rc = kip_fft_dpi_transform(h, 6, 1, sch, short_x, xi, yr, yi, blk_exp, overflow);
    expect_text("FFT frame of 8 words", rc == 9, kip_fft_dpi_message(h), "xn_re_size input 8");
    // chandles are untyped: an FFT handle given to a FIR import is refused, not used.
    rc = kip_fir_dpi_send(h, 1);
    expect_text("FIR import with an FFT handle", rc == 1, kip_fir_dpi_message(h),
                "Not a live kip_fir_dpi handle");
    kip_fft_dpi_destroy(h);
    rc = kip_fft_dpi_transform(h, 6, 1, sch, xr, xi, yr, yi, blk_exp, overflow);
    expect_text("FFT destroyed handle", rc == 1, kip_fft_dpi_message(h),
                "Not a live kip_fft_dpi handle");
    kip_fft_dpi_destroy(h);

    // 12-bit words, unscaled 8-point radix-2: an impulse of 1000 gives 1000 in every bin.
    h = kip_fft_dpi_create(3, 2, 0, 12, 16, 0, 0, 0, msg);
    foreach (xr[n]) xr[n] = n == 0 ? 1000 : 0;
    rc = kip_fft_dpi_transform(h, 3, 1, sch, xr, xi, yr, yi, blk_exp, overflow);
    expect_text("FFT 12-bit impulse, 16-bit output words",
                rc == 0 && yr[0] == 1000 && yr[7] == 1000 && yi[7] == 0 && yr[8] == 0
                    && kip_fft_dpi_output_width(h, 3) == 16,
                $sformatf("%0d %0d %0d", yr[0], yr[7], yr[8]), "1000 1000 0");
    kip_fft_dpi_destroy(h);
  endtask

  always @(posedge clk) begin
    if (active && !done) begin
      done <= 1'b1;
      fir_checks();
      fft_checks();
      if (errors == 0) begin
        $display("PASS dpi: %0d checks of refusals, word order, complex and wide outputs", checks);
        kip_bench_exit(0);
      end else begin
        $display("FAIL dpi: %0d of %0d checks failed", errors, checks);
        kip_bench_exit(1);
      end
      $finish;
    end
  end
endmodule
