/* Reference outputs of the FFT model through its C interface, for the Octave tests.
 * Usage: ref_fft DIR. Writes DIR/fft_cases.txt, one line per case:
 *   C_NFFT_MAX C_ARCH C_HAS_NFFT C_USE_FLT_PT C_INPUT_WIDTH C_TWIDDLE_WIDTH C_HAS_SCALING
 *   C_HAS_BFP C_HAS_ROUNDING nfft frames direction schedule_length schedule...
 * and for case k (from 1) raw doubles: fft_k_in.bin (real parts of every frame, then imaginary
 * parts; frames of 2^nfft samples one after the other), fft_k_out.bin (the same for the bins),
 * fft_k_flags.bin (blk_exp of every frame, then overflow of every frame). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kfft_v8_0_bitacc_cmodel.h>

static uint64_t lcg_state = 987654321;
static double rand_unit(void) /* in [-1, 1), 24-bit resolution */
{
    lcg_state = lcg_state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (double)((int64_t)(lcg_state >> 40) - (1 << 23)) / (1 << 23);
}

static void die(const char* what)
{
    fprintf(stderr, "ref_fft: %s failed\n", what);
    exit(1);
}

static void write_file(const char* dir, int k, const char* kind, const double* v, size_t n)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/fft_%d_%s.bin", dir, k, kind);
    FILE* f = fopen(path, "wb");
    if (!f || fwrite(v, sizeof *v, n, f) != n || fclose(f) != 0)
        die(path);
}

struct fft_case {
    int32_t g[9];
    int32_t nfft, frames, direction, sch_len, sch[8];
};

/* One case per architecture and mode: scaled with a schedule, block floating point, unscaled
 * with rounding, run-time length, inverse, single-precision floating point. */
static const struct fft_case cases[] = {
    { { 7, 1, 0, 0, 16, 16, 1, 0, 0 }, 7, 3, 1, 4, { 1, 2, 2, 1 } },
    { { 7, 2, 0, 0, 18, 14, 1, 0, 1 }, 7, 3, 0, 7, { 1, 1, 0, 1, 1, 1, 1 } },
    { { 7, 3, 0, 0, 16, 16, 1, 1, 1 }, 7, 3, 1, 0, { 0 } },
    { { 7, 4, 0, 0, 12, 18, 0, 0, 1 }, 7, 3, 1, 0, { 0 } },
    { { 8, 2, 1, 0, 16, 16, 1, 1, 0 }, 5, 2, 1, 0, { 0 } },
    { { 6, 3, 1, 0, 20, 20, 1, 0, 0 }, 5, 2, 0, 3, { 2, 2, 1 } },
    { { 7, 1, 0, 1, 32, 24, 1, 0, 0 }, 7, 2, 1, 0, { 0 } },
};

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: ref_fft DIR\n");
        return 2;
    }
    char path[4096];
    snprintf(path, sizeof path, "%s/fft_cases.txt", argv[1]);
    FILE* list = fopen(path, "w");
    if (!list)
        die(path);
    for (size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k) {
        const struct fft_case* c = &cases[k];
        kelvar_ip_kfft_v8_0_generics g;
        memcpy(&g, c->g, sizeof g);
        kelvar_ip_kfft_v8_0_state* s = kelvar_ip_kfft_v8_0_create_state(g);
        if (!s)
            die("create_state");
        const int32_t n = 1 << c->nfft;
        const size_t total = (size_t)n * c->frames;
        double* in = malloc(2 * total * sizeof(double));
        double* out = malloc(2 * total * sizeof(double));
        double* flags = malloc(2 * c->frames * sizeof(double));
        if (!in || !out || !flags)
            die("malloc");
        /* Samples on the input grid (floating point: scaled up to exercise the exponent). */
        const double grid = c->g[3] ? 1.0 : (double)(1 << (c->g[4] - 1));
        for (size_t i = 0; i < 2 * total; ++i)
            in[i] = c->g[3] ? rand_unit() * 1000.0 : (double)(int64_t)(rand_unit() * grid) / grid;
        for (int32_t f = 0; f < c->frames; ++f) {
            double* re = malloc(n * sizeof(double));
            double* im = malloc(n * sizeof(double));
            if (!re || !im)
                die("malloc");
            memcpy(re, in + (size_t)f * n, n * sizeof(double));
            memcpy(im, in + total + (size_t)f * n, n * sizeof(double));
            kelvar_ip_kfft_v8_0_inputs x
                = { c->nfft, re, n, im, n, c->sch, c->sch_len, c->direction };
            kelvar_ip_kfft_v8_0_outputs y
                = { out + (size_t)f * n, n, out + total + (size_t)f * n, n, 0, 0 };
            if (kelvar_ip_kfft_v8_0_bitacc_simulate(s, &x, &y) != 0)
                die("simulate");
            flags[f] = y.blk_exp;
            flags[c->frames + f] = y.overflow;
            free(re);
            free(im);
        }
        for (int i = 0; i < 9; ++i)
            fprintf(list, "%d ", (int)c->g[i]);
        fprintf(
            list, "%d %d %d %d", (int)c->nfft, (int)c->frames, (int)c->direction, (int)c->sch_len);
        for (int32_t i = 0; i < c->sch_len; ++i)
            fprintf(list, " %d", (int)c->sch[i]);
        fprintf(list, "\n");
        write_file(argv[1], (int)k + 1, "in", in, 2 * total);
        write_file(argv[1], (int)k + 1, "out", out, 2 * total);
        write_file(argv[1], (int)k + 1, "flags", flags, 2 * (size_t)c->frames);
        free(in);
        free(out);
        free(flags);
        kelvar_ip_kfft_v8_0_destroy_state(s);
    }
    if (fclose(list) != 0)
        die(path);
    return 0;
}
