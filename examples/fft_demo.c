/* Demonstration of the kfft v8.0 bit-accurate model: one two-tone frame of 1,024 points
 * through the scaled radix-4, pipelined and radix-2 architectures (with the library's default
 * scaling schedule, which cannot overflow), in block floating point, and in the floating-point
 * interface mode. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "kfft_v8_0_bitacc_cmodel.h"

#define NFFT 10
#define N (1 << NFFT)

static const double kPi = 3.14159265358979323846;

/* Prints the three strongest bins, in transform units (output times 2^shift). */
static void print_strongest(const kelvar_ip_kfft_v8_0_outputs* out, int shift)
{
    int best[3] = { -1, -1, -1 };
    double mag[3] = { -1.0, -1.0, -1.0 };
    for (int k = 0; k < N; ++k) {
        const double m = hypot(out->xk_re[k], out->xk_im[k]);
        for (int i = 0; i < 3; ++i) {
            if (m > mag[i]) {
                for (int j = 2; j > i; --j) {
                    mag[j] = mag[j - 1];
                    best[j] = best[j - 1];
                }
                mag[i] = m;
                best[i] = k;
                break;
            }
        }
    }
    printf("    blk_exp %d, overflow %d\n", out->blk_exp, out->overflow);
    for (int i = 0; i < 3; ++i)
        printf("    bin %4d  |X| = %12.4f  (%.6g, %.6g) x 2^%d\n", best[i], ldexp(mag[i], shift),
            out->xk_re[best[i]], out->xk_im[best[i]], shift);
}

/* Creates a state, runs one frame with the library's default scaling schedule (where the
 * generics read one) and prints its strongest bins. Returns 0 on success. */
static int run(const char* title, kelvar_ip_kfft_v8_0_generics g, double* re, double* im,
    double* xk_re, double* xk_im)
{
    int32_t sch[16];
    const int32_t n = kelvar_ip_kfft_v8_0_frame_length(g, NFFT);
    const int32_t stages = kelvar_ip_kfft_v8_0_default_schedule(g, NFFT, sch, 16);
    if (n != N)
        return 1;
    kelvar_ip_kfft_v8_0_state* s = kelvar_ip_kfft_v8_0_create_state(g);
    if (s == NULL)
        return 1;
    kelvar_ip_kfft_v8_0_inputs in = { NFFT, re, n, im, n, stages ? sch : NULL, stages, 1 };
    kelvar_ip_kfft_v8_0_outputs out = { xk_re, n, xk_im, n, 0, 0 };
    const int rc = kelvar_ip_kfft_v8_0_bitacc_simulate(s, &in, &out);
    if (rc == KELVAR_IP_KFFT_V8_0_OK) {
        int shift = out.blk_exp;
        printf("%s\n    %d-bit output words, schedule", title,
            (int)kelvar_ip_kfft_v8_0_output_width(g, NFFT));
        for (int i = 0; i < stages; ++i) {
            shift += sch[i];
            printf(" %d", (int)sch[i]);
        }
        printf("%s\n", stages ? "" : " none (not read)");
        print_strongest(&out, shift);
    } else {
        fprintf(stderr, "simulate returned %d\n", rc);
    }
    kelvar_ip_kfft_v8_0_destroy_state(s);
    return rc;
}

int main(void)
{
    double *re = malloc(N * sizeof *re), *im = malloc(N * sizeof *im);
    double *fre = malloc(N * sizeof *fre), *fim = malloc(N * sizeof *fim);
    double *xk_re = malloc(N * sizeof *xk_re), *xk_im = malloc(N * sizeof *xk_im);
    if (!re || !im || !fre || !fim || !xk_re || !xk_im)
        return 1;

    /* Two tones: a complex exponential at bin 100 and a real cosine at bin 300 (bins 300 and
     * 724), quantised to 16-bit fractions so that no input rounding is needed. */
    for (int n = 0; n < N; ++n) {
        const double a1 = 2.0 * kPi * 100.0 * n / N, a2 = 2.0 * kPi * 300.0 * n / N;
        re[n] = floor((0.5 * cos(a1) + 0.25 * cos(a2)) * 32768.0) / 32768.0;
        im[n] = floor((0.5 * sin(a1)) * 32768.0) / 32768.0;
        fre[n] = 1000.0 * re[n];
        fim[n] = 1000.0 * im[n];
    }

    int rc = 0;

    kelvar_ip_kfft_v8_0_generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    rc |= run("radix-4 burst, scaled", g, re, im, xk_re, xk_im);

    g.C_ARCH = 3;
    rc |= run("pipelined streaming, scaled", g, re, im, xk_re, xk_im);

    g.C_ARCH = 2;
    rc |= run("radix-2 burst, scaled", g, re, im, xk_re, xk_im);

    g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_HAS_BFP = 1;
    rc |= run("radix-4 burst, block floating point", g, re, im, xk_re, xk_im);

    g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_USE_FLT_PT = 1;
    g.C_INPUT_WIDTH = 32;
    rc |= run("radix-4 burst, floating point (input x1000)", g, fre, fim, xk_re, xk_im);

    free(re);
    free(im);
    free(fre);
    free(fim);
    free(xk_re);
    free(xk_im);
    return rc != KELVAR_IP_KFFT_V8_0_OK;
}
