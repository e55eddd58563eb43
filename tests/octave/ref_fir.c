/* Reference outputs of the FIR model through its C interface, for the Octave tests.
 * Usage: ref_fir DIR. Writes into DIR, as raw little-endian doubles (int64 for the wide model):
 *   fir_dec_coeff.bin fir_dec_reload.bin fir_dec_in.bin fir_dec_out.bin   decimating, 2 paths x 4
 * ch fir_wide_coeff.bin fir_wide_in.bin fir_wide_out.bin (int64)           70-bit outputs
 *   fir_hil_in.bin fir_hil_out.bin (real parts, then imaginary parts)     Hilbert, 2 channels
 *   fir_adv_coeff.bin fir_adv_in.bin fir_adv_out.bin                      channel patterns
 * test_kip_fir.m repeats the configurations and the call sequence given here. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <tapforge_v6_3_bitacc_cmodel.h>

static uint64_t lcg_state = 12345;
static int64_t rand_int(int64_t lo, int64_t hi) /* uniform-ish in [lo, hi] */
{
    lcg_state = lcg_state * 6364136223846793005ULL + 1442695040888963407ULL;
    return lo + (int64_t)((lcg_state >> 11) % (uint64_t)(hi - lo + 1));
}

static void on_message(void* handle, int32_t error, const char* text)
{
    (void)handle;
    if (error)
        fprintf(stderr, "%s\n", text);
}

static void die(const char* what)
{
    fprintf(stderr, "ref_fir: %s failed\n", what);
    exit(1);
}

static void write_file(const char* dir, const char* name, const void* data, size_t bytes)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    FILE* f = fopen(path, "wb");
    if (!f || fwrite(data, 1, bytes, f) != bytes || fclose(f) != 0)
        die(path);
}

static kip_array_real* real_array(size_t ndim, const size_t* dims)
{
    kip_array_real* a = kip_array_real_create();
    size_t n = 1;
    for (size_t i = 0; i < ndim; ++i)
        n *= dims[i];
    if (!a || kip_array_real_reserve_dim(a, 3) || kip_array_real_reserve_data(a, n ? n : 1))
        die("array");
    a->dim_size = ndim;
    memcpy(a->dim, dims, ndim * sizeof(size_t));
    a->data_size = n;
    return a;
}

/* Decimate by 3, 2 paths, 4 channels, 2 coefficient sets, reloads and packets mid-stream. */
static void decimating(const char* dir)
{
    enum { P = 2, C = 4, T = 19, TOTAL = 25 };
    static const size_t blocks[] = { 7, 1, 0, 12, 5 };
    double coeff[2 * T], reload[T], in[P * C * TOTAL];
    for (int i = 0; i < 2 * T; ++i)
        coeff[i] = (double)rand_int(-20000, 20000);
    for (int i = 0; i < T; ++i)
        reload[i] = (double)rand_int(-20000, 20000);
    for (int i = 0; i < P * C * TOTAL; ++i)
        in[i] = (double)rand_int(-(1 << 18), (1 << 18) - 1) / (1 << 18);
    kip_fir_v6_3_config cfg;
    kip_fir_v6_3_default_config(&cfg);
    cfg.filter_type = 2;
    cfg.decim_rate = 3;
    cfg.num_channels = C;
    cfg.num_paths = P;
    cfg.coeff = coeff;
    cfg.num_coeffs = T;
    cfg.coeff_sets = 2;
    cfg.reloadable = 1;
    cfg.config_method = 1;
    cfg.data_width = 16;
    cfg.data_fract_width = 15;
    cfg.output_rounding = 4;
    cfg.output_width = 20;
    kip_fir_v6_3* m = kip_fir_v6_3_create(&cfg, on_message, NULL);
    if (!m)
        die("create decimating");
    size_t sent = 0;
    for (size_t b = 0; b < sizeof blocks / sizeof blocks[0]; ++b) {
        size_t dims[3] = { P, C, blocks[b] };
        kip_array_real* a = real_array(3, dims);
        memcpy(a->data, in + sent * P * C, blocks[b] * P * C * sizeof(double));
        if (kip_fir_v6_3_data_send(m, a))
            die("data_send");
        kip_array_real_destroy(a);
        sent += blocks[b];
        if (b == 1 || b == 3) {
            /* after block 2: reload set 1, select 1 0 1 1; after block 4: select 0 0 0 1 */
            uint32_t sel[C] = { 1, 0, 1, 1 };
            if (b == 3)
                sel[0] = 0, sel[2] = 0;
            if (b == 1) {
                size_t d1 = T;
                kip_array_real* r = real_array(1, &d1);
                memcpy(r->data, reload, sizeof reload);
                kip_fir_v6_3_rld_packet rp = { 1, r };
                if (kip_fir_v6_3_reload_send(m, &rp))
                    die("reload_send");
                kip_array_real_destroy(r);
            }
            size_t dc = C;
            kip_array_uint fsel = { sel, C, C, &dc, 1, 1, 1 };
            kip_fir_v6_3_cnfg_packet cp = { KIP_FIR_V6_3_PATTERN_NONE, &fsel };
            if (kip_fir_v6_3_config_send(m, &cp))
                die("config_send");
        }
    }
    size_t odims[3] = { P, C, TOTAL };
    kip_array_real* out = real_array(3, odims);
    if (kip_fir_v6_3_data_get(m, out, NULL))
        die("data_get");
    write_file(dir, "fir_dec_coeff.bin", coeff, sizeof coeff);
    write_file(dir, "fir_dec_reload.bin", reload, sizeof reload);
    write_file(dir, "fir_dec_in.bin", in, sizeof in);
    write_file(dir, "fir_dec_out.bin", out->data, out->data_size * sizeof(double));
    kip_array_real_destroy(out);
    kip_fir_v6_3_destroy(m);
}

/* Single path and channel, 40-bit data, 30-bit coefficients, full precision: 70-bit outputs
 * whose values fit int64. */
static void wide(const char* dir)
{
    enum { T = 9, V = 20 };
    double coeff[T], in[V];
    for (int i = 0; i < T; ++i)
        coeff[i] = (double)rand_int(-(1 << 24), 1 << 24);
    coeff[0] = (double)((1 << 29) - 1); /* full coefficient width */
    for (int i = 0; i < V; ++i)
        in[i] = (double)rand_int(-(1LL << 30), 1LL << 30);
    kip_fir_v6_3_config cfg;
    kip_fir_v6_3_default_config(&cfg);
    cfg.coeff = coeff;
    cfg.num_coeffs = T;
    cfg.coeff_width = 30;
    cfg.data_width = 40;
    kip_fir_v6_3* m = kip_fir_v6_3_create(&cfg, NULL, NULL);
    if (!m)
        die("create wide");
    size_t dims[3] = { 1, 1, V };
    kip_array_real* a = real_array(3, dims);
    memcpy(a->data, in, sizeof in);
    if (kip_fir_v6_3_data_send(m, a))
        die("data_send wide");
    kip_array_real_destroy(a);
    kip_array_mpz* out = kip_array_mpz_create();
    if (!out || kip_array_mpz_reserve_dim(out, 3) || kip_array_mpz_reserve_data(out, V))
        die("mpz array");
    out->dim_size = 3;
    memcpy(out->dim, dims, sizeof dims);
    out->data_size = V;
    if (kip_fir_v6_3_data_get_mpz(m, out, NULL))
        die("data_get_mpz");
    int64_t values[V];
    for (size_t i = 0; i < out->data_size; ++i) {
        if (!mpz_fits_slong_p(out->data[i]))
            die("int64 range");
        values[i] = (int64_t)mpz_get_si(out->data[i]);
    }
    write_file(dir, "fir_wide_coeff.bin", coeff, sizeof coeff);
    write_file(dir, "fir_wide_in.bin", in, sizeof in);
    write_file(dir, "fir_wide_out.bin", values, out->data_size * sizeof(int64_t));
    kip_array_mpz_destroy(out);
    kip_fir_v6_3_destroy(m);
}

/* Hilbert transformer, one path, two channels: complex output. */
static void hilbert(const char* dir)
{
    enum { C = 2, V = 15 };
    static const double coeff[] = { -3, 0, -9, 0, -50, 0, 50, 0, 9, 0, 3 };
    double in[C * V];
    for (int i = 0; i < C * V; ++i)
        in[i] = (double)rand_int(-2048, 2047) / 2048;
    kip_fir_v6_3_config cfg;
    kip_fir_v6_3_default_config(&cfg);
    cfg.filter_type = 3;
    cfg.coeff = coeff;
    cfg.num_coeffs = 11;
    cfg.num_channels = C;
    cfg.data_width = 12;
    cfg.data_fract_width = 11;
    kip_fir_v6_3* m = kip_fir_v6_3_create(&cfg, on_message, NULL);
    if (!m)
        die("create hilbert");
    size_t dims[3] = { 1, C, V };
    kip_array_real* a = real_array(3, dims);
    memcpy(a->data, in, sizeof in);
    if (kip_fir_v6_3_data_send(m, a))
        die("data_send hilbert");
    kip_array_real_destroy(a);
    kip_array_complex* out = kip_array_complex_create();
    if (!out || kip_array_complex_reserve_dim(out, 3) || kip_array_complex_reserve_data(out, C * V))
        die("complex array");
    out->dim_size = 3;
    memcpy(out->dim, dims, sizeof dims);
    out->data_size = C * V;
    if (kip_fir_v6_3_data_get(m, NULL, out))
        die("data_get hilbert");
    double parts[2 * C * V];
    size_t n = out->data_size;
    for (size_t i = 0; i < n; ++i) {
        parts[i] = out->data[i].re;
        parts[n + i] = out->data[i].im;
    }
    write_file(dir, "fir_hil_in.bin", in, sizeof in);
    write_file(dir, "fir_hil_out.bin", parts, 2 * n * sizeof(double));
    kip_array_complex_destroy(out);
    kip_fir_v6_3_destroy(m);
}

/* Advanced channel sequence on 4 channels, 2 coefficient sets: packets change the pattern and
 * the set between blocks, a reset returns to init_pattern; outputs collected after every block. */
static void advanced(const char* dir)
{
    enum { C = 4, TOTAL = 18 };
    static const size_t blocks[] = { 6, 5, 4, 3 };
    static const int32_t chanpat[] = { 1, 1, 4 }; /* packets after blocks 1, 2 and 3 */
    static const uint32_t sets[] = { 1, 0, 1 };
    double coeff[2 * 7], in[C * TOTAL], out[C * TOTAL];
    for (int i = 0; i < 2 * 7; ++i)
        coeff[i] = (double)rand_int(-100, 100);
    for (int i = 0; i < C * TOTAL; ++i)
        in[i] = (double)rand_int(-1000, 1000);
    kip_fir_v6_3_config cfg;
    kip_fir_v6_3_default_config(&cfg);
    cfg.coeff = coeff;
    cfg.num_coeffs = 7;
    cfg.coeff_sets = 2;
    cfg.chan_seq = 1;
    cfg.num_channels = C;
    cfg.init_pattern = 4;
    kip_fir_v6_3* m = kip_fir_v6_3_create(&cfg, on_message, NULL);
    if (!m)
        die("create advanced");
    size_t sent = 0, got = 0;
    for (size_t b = 0; b < sizeof blocks / sizeof blocks[0]; ++b) {
        size_t dims[3] = { 1, C, blocks[b] };
        kip_array_real* a = real_array(3, dims);
        memcpy(a->data, in + sent * C, blocks[b] * C * sizeof(double));
        if (kip_fir_v6_3_data_send(m, a))
            die("data_send advanced");
        kip_array_real_destroy(a);
        sent += blocks[b];
        kip_array_real* o = real_array(3, dims);
        if (kip_fir_v6_3_data_get(m, o, NULL))
            die("data_get advanced");
        memcpy(out + got, o->data, o->data_size * sizeof(double));
        got += o->data_size;
        kip_array_real_destroy(o);
        if (b == 2 && kip_fir_v6_3_reset(m))
            die("reset");
        if (b < 3) {
            uint32_t sel = sets[b];
            size_t d1 = 1;
            kip_array_uint fsel = { &sel, 1, 1, &d1, 1, 1, 1 };
            kip_fir_v6_3_cnfg_packet cp = { chanpat[b], &fsel };
            if (kip_fir_v6_3_config_send(m, &cp))
                die("config_send advanced");
        }
    }
    write_file(dir, "fir_adv_coeff.bin", coeff, sizeof coeff);
    write_file(dir, "fir_adv_in.bin", in, sizeof in);
    write_file(dir, "fir_adv_out.bin", out, got * sizeof(double));
    kip_fir_v6_3_destroy(m);
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: ref_fir DIR\n");
        return 2;
    }
    decimating(argv[1]);
    wide(argv[1]);
    hilbert(argv[1]);
    advanced(argv[1]);
    return 0;
}
