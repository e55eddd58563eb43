/* fir_demo -- creates the default FIR model, prints its messages and completed configuration,
 * then filters test tones through a two-channel decimating model, an interpolating model and an
 * integer-mode model, printing the first outputs and a checksum of each. */
#include <gmp.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "tapforge_v6_3_bitacc_cmodel.h"

/* handle is the label given at creation: "msg" for the message handler, "dbg" for debug.
 * The debug listing of the quantised coefficients is counted, not printed. */
static int coeff_notes = 0;
static void print_message(void* handle, int32_t error, const char* message)
{
    if (strstr(message, " Coeff[") != NULL) {
        ++coeff_notes;
        return;
    }
    printf("[%s%s] %s\n", (const char*)handle, error ? " error" : "", message);
}

/* Prints every field of the record, as the library describes them: name, value, meaning. */
static void print_config(const kip_fir_v6_3_config* c)
{
    int32_t i;
    for (i = 0; i < kip_fir_v6_3_field_count(); ++i) {
        const kip_fir_v6_3_field_desc* d = kip_fir_v6_3_field_at(i);
        int32_t v = 0;
        if (d->kind == KIP_FIR_V6_3_FIELD_STRING)
            printf("%-18s %-14s %s\n", d->name, c->name, d->help);
        else if (d->kind == KIP_FIR_V6_3_FIELD_REAL_ARRAY)
            printf("%-18s %-14s %s\n", d->name, c->coeff ? "(set)" : "(null)", d->help);
        else if (kip_fir_v6_3_config_get_field(c, d->name, &v, NULL, 0) == 0)
            printf("%-18s %-14d %s\n", d->name, (int)v, d->help);
    }
}

#define PI 3.14159265358979323846
#define TAPS 31

/* Windowed-sinc low-pass taps with cut-off `cutoff` (cycles per sample), Hann window. */
static void lowpass(double* taps, int n, double cutoff)
{
    int i;
    for (i = 0; i < n; ++i) {
        const double t = i - (n - 1) / 2.0;
        const double sinc = t == 0 ? 2 * cutoff : sin(2 * PI * cutoff * t) / (PI * t);
        taps[i] = sinc * (0.5 - 0.5 * cos(2 * PI * (i + 1) / (n + 1)));
    }
}

/* An array of dimensions (paths, channels, vectors) with storage for all of them. */
static kip_array_real* frame_array(size_t paths, size_t chans, size_t vectors)
{
    kip_array_real* a = kip_array_real_create();
    if (!a || kip_array_real_reserve_dim(a, 3) != 0
        || kip_array_real_reserve_data(a, paths * chans * vectors) != 0) {
        kip_array_real_destroy(a);
        return NULL;
    }
    a->dim_size = 3;
    a->dim[0] = paths;
    a->dim[1] = chans;
    a->dim[2] = vectors;
    a->data_size = paths * chans * vectors;
    return a;
}

/* Creates a model after printing the library's notes on settings it would ignore. */
static kip_fir_v6_3* create_noted(const kip_fir_v6_3_config* config)
{
    char notes[KIP_FIR_V6_3_MSG_LEN];
    const char* line = notes;
    if (kip_fir_v6_3_config_check(config, notes, sizeof notes) > 0) {
        while (line) {
            const char* end = strchr(line, '\n');
            printf("[note] %.*s\n", end ? (int)(end - line) : (int)strlen(line), line);
            line = end ? end + 1 : NULL;
        }
    }
    return kip_fir_v6_3_create(config, print_message, (void*)"msg");
}

/* Sends `frames` frames of `vectors` vectors of tones (channel c at freq[c] cycles per
 * sample, amplitude amp, one path) and collects every frame's output with data_get (or
 * data_get_mpz when use_mpz). Prints the first outputs of each channel and a checksum. */
static int run_tones(const char* title, const kip_fir_v6_3_config* config, const double* freq,
    double amp, int frames, size_t vectors, int use_mpz)
{
    kip_fir_v6_3_config done;
    kip_fir_v6_3* model = create_noted(config);
    const size_t chans = (size_t)config->num_channels;
    size_t out_vectors, c, v, k;
    double first[64][6]; /* the first outputs of each channel in the last frame */
    long sample = 0;
    int f, status = 0;
    double checksum = 0;
    mpz_t sum;
    kip_array_real* in;
    kip_array_real* out;
    kip_array_mpz* out_mpz;

    if (!model)
        return 1;
    kip_fir_v6_3_get_config(model, &done);
    out_vectors = vectors * (size_t)done.interp_rate / (size_t)done.decim_rate;
    in = frame_array(1, chans, vectors);
    out = frame_array(1, chans, out_vectors);
    out_mpz = kip_array_mpz_create();
    mpz_init(sum);
    if (!in || !out || !out_mpz || kip_array_mpz_reserve_dim(out_mpz, 3) != 0
        || kip_array_mpz_reserve_data(out_mpz, chans * out_vectors) != 0) {
        status = 1;
        goto done;
    }
    printf("%s: L %d, M %d, %d channel(s), output %d bits (%d fractional)%s\n", title,
        (int)done.interp_rate, (int)done.decim_rate, (int)chans, (int)done.output_width,
        (int)done.output_fract_width, use_mpz ? ", GMP integers" : "");
    for (f = 0; f < frames && status == 0; ++f) {
        for (v = 0; v < vectors; ++v, ++sample)
            for (c = 0; c < chans; ++c)
                in->data[c + v * chans] = floor(amp * sin(2 * PI * freq[c] * (double)sample));
        if (kip_fir_v6_3_data_send(model, in) != 0) {
            status = 1;
            break;
        }
        if (use_mpz) {
            out_mpz->dim_size = 3;
            out_mpz->dim[0] = 1;
            out_mpz->dim[1] = chans;
            out_mpz->dim[2] = out_vectors;
            status = kip_fir_v6_3_data_get_mpz(model, out_mpz, NULL);
        } else {
            out->dim[2] = out_vectors;
            status = kip_fir_v6_3_data_get(model, out, NULL);
        }
        for (v = 0; v < out_vectors && status == 0; ++v) {
            for (c = 0; c < chans; ++c) {
                const size_t at = c + v * chans;
                const double value = use_mpz ? mpz_get_d(out_mpz->data[at]) : out->data[at];
                if (use_mpz)
                    mpz_add(sum, sum, out_mpz->data[at]);
                else
                    checksum += value;
                if (f == frames - 1 && v < 6)
                    first[c][v] = value;
            }
        }
    }
    for (c = 0; c < chans && status == 0; ++c) {
        printf("  ch%d, last frame:", (int)c);
        for (k = 0; k < 6 && k < out_vectors; ++k)
            printf(" %.0f", first[c][k]);
        printf("\n");
    }
    if (status == 0) {
        if (use_mpz)
            gmp_printf("  %d frames of %d vectors, checksum (sum of outputs) %Zd\n", frames,
                (int)vectors, sum);
        else
            printf("  %d frames of %d vectors, checksum (sum of outputs) %.17g\n", frames,
                (int)vectors, checksum);
    }
done:
    mpz_clear(sum);
    kip_array_mpz_destroy(out_mpz);
    kip_array_real_destroy(out);
    kip_array_real_destroy(in);
    kip_fir_v6_3_destroy(model);
    return status;
}

static int run_filters(void)
{
    double taps[TAPS];
    const double two_tones[2] = { 0.02, 0.3 }; /* channel 1 lies in the stop band */
    const double one_tone[1] = { 0.05 };
    kip_fir_v6_3_config c;

    lowpass(taps, TAPS, 0.15);
    kip_fir_v6_3_default_config(&c);
    c.name = "decimator";
    c.coeff = taps;
    c.num_coeffs = TAPS;
    c.quantization = 2; /* largest tap to the largest 16-bit code */
    c.filter_type = 2;
    c.decim_rate = 3;
    c.num_channels = 2;
    c.output_rounding = 3;
    c.output_width = 20;
    if (run_tones("Decimate by 3", &c, two_tones, 16000, 4, 300, 0) != 0)
        return 1;

    lowpass(taps, TAPS, 0.1);
    c.name = "interpolator";
    c.filter_type = 1;
    c.interp_rate = 4;
    c.num_channels = 1;
    c.output_rounding = 0;
    if (run_tones("Interpolate by 4", &c, one_tone, 16000, 3, 256, 0) != 0)
        return 1;

    /* 24-bit data and coefficients, reloadable: a 53-bit accumulator, so GMP integers. */
    c.name = "wide";
    c.filter_type = 2;
    c.interp_rate = 1; /* the accumulator width counts taps per interpolation phase */
    c.decim_rate = 3;
    c.num_channels = 2;
    c.reloadable = 1;
    c.coeff_width = 24;
    c.data_width = 24;
    c.output_rounding = 4;
    c.output_width = 30;
    return run_tones("Integer mode, decimate by 3", &c, two_tones, 4000000, 4, 300, 1);
}

/* ---- run-time reconfiguration and chaining ------------------------------------------------ */

/* One path, one channel, n vectors holding v[0..n-1]. */
static kip_array_real* make_samples(size_t n, const double* v)
{
    kip_array_real* a = kip_array_real_create();
    size_t i;
    if (!a || kip_array_real_reserve_dim(a, 3) || kip_array_real_reserve_data(a, n ? n : 1)) {
        kip_array_real_destroy(a);
        return NULL;
    }
    a->dim_size = 3;
    a->dim[0] = 1;
    a->dim[1] = 1;
    a->dim[2] = n;
    a->data_size = n;
    for (i = 0; i < n; ++i)
        a->data[i] = v[i];
    return a;
}

/* Queues a configuration packet selecting coefficient set `set` for every channel. */
static int select_set(kip_fir_v6_3* model, uint32_t set)
{
    kip_array_uint* fsel = kip_array_uint_create();
    kip_fir_v6_3_cnfg_packet packet;
    int status = 1;
    if (fsel && !kip_array_uint_reserve_dim(fsel, 1) && !kip_array_uint_reserve_data(fsel, 1)) {
        fsel->dim_size = 1;
        fsel->dim[0] = 1;
        fsel->data_size = 1;
        fsel->data[0] = set;
        packet.chanpat = 0; /* basic channel sequence: not used */
        packet.fsel = fsel;
        status = kip_fir_v6_3_config_send(model, &packet); /* the model keeps a copy */
    }
    kip_array_uint_destroy(fsel);
    return status;
}

/* Sends n samples and prints what the data sink received. */
static int send_and_print(
    kip_fir_v6_3* model, const kip_array_real* sink, size_t n, const double* v)
{
    kip_array_real* in = make_samples(n, v);
    size_t i;
    int status = in ? kip_fir_v6_3_data_send(model, in) : 1;
    kip_array_real_destroy(in);
    if (status)
        return status;
    for (i = 0; i < sink->data_size; ++i)
        printf(" %g", sink->data[i]);
    return 0;
}

static const double kImpulses[8] = { 1, 0, 0, 0, 1, 0, 0, 0 };

/* Two coefficient sets, one model; a configuration packet switches to set 1 half way. */
static int demo_coefficient_switch(void)
{
    static const double taps[2][3] = { { 1, 2, 1 }, { 1, 0, -1 } };
    kip_fir_v6_3_config c;
    kip_fir_v6_3* m;
    kip_array_real* sink = kip_array_real_create();
    int status = 1;
    kip_fir_v6_3_default_config(&c);
    c.coeff = &taps[0][0];
    c.num_coeffs = 3;
    c.coeff_sets = 2;
    m = kip_fir_v6_3_create(&c, print_message, (void*)"msg");
    if (m && sink && !kip_fir_v6_3_set_data_sink(m, sink, NULL)) {
        printf("set 0:");
        status = send_and_print(m, sink, 4, kImpulses);
        if (!status)
            status = select_set(m, 1); /* applies at the next configuration point */
        if (!status) {
            printf("  | set 1:");
            status = send_and_print(m, sink, 4, kImpulses + 4);
        }
        printf("\n");
    }
    kip_fir_v6_3_destroy(m);
    kip_array_real_destroy(sink);
    return status;
}

/* A reload waits for a configuration packet: it changes nothing until one is applied. */
static int demo_reload(void)
{
    static const double taps[3] = { 1, 2, 1 };
    static const double fresh[3] = { 4, 0, -4 };
    kip_fir_v6_3_config c;
    kip_fir_v6_3* m;
    kip_array_real* sink = kip_array_real_create();
    kip_array_real* coeff = make_samples(3, fresh);
    kip_fir_v6_3_rld_packet reload;
    int status = 1;
    kip_fir_v6_3_default_config(&c);
    c.coeff = taps;
    c.num_coeffs = 3;
    c.reloadable = 1;
    m = kip_fir_v6_3_create(&c, print_message, (void*)"msg");
    if (m && sink && coeff && !kip_fir_v6_3_set_data_sink(m, sink, NULL)) {
        coeff->dim_size = 1; /* the coefficients as a one-dimensional array of 3 */
        coeff->dim[0] = 3;
        reload.fsel = 0;
        reload.coeff = coeff;
        status = kip_fir_v6_3_reload_send(m, &reload);
        printf("reload queued:");
        if (!status)
            status = send_and_print(m, sink, 4, kImpulses);
        if (!status)
            status = select_set(m, 0);
        if (!status) {
            printf("  | after packet:");
            status = send_and_print(m, sink, 4, kImpulses + 4);
        }
        printf("\n");
    }
    kip_fir_v6_3_destroy(m);
    kip_array_real_destroy(sink);
    kip_array_real_destroy(coeff);
    return status;
}

/* Model A (interpolate by 2) feeds model B (decimate by 2) through its sink. */
static int demo_chain(void)
{
    static const double up[4] = { 1, 1, 1, 1 };
    static const double down[2] = { 1, 1 };
    static const double ramp[4] = { 1, 2, 3, 4 };
    kip_fir_v6_3_config ca, cb;
    kip_fir_v6_3 *a, *b;
    kip_array_real* mid = kip_array_real_create();
    kip_array_real* out = kip_array_real_create();
    int status = 1;
    kip_fir_v6_3_default_config(&ca);
    ca.name = "A";
    ca.filter_type = 1;
    ca.interp_rate = 2;
    ca.coeff = up;
    ca.num_coeffs = 4;
    kip_fir_v6_3_default_config(&cb);
    cb.name = "B";
    cb.filter_type = 2;
    cb.decim_rate = 2;
    cb.coeff = down;
    cb.num_coeffs = 2;
    cb.data_width = 24; /* A's full-precision output width */
    a = kip_fir_v6_3_create(&ca, print_message, (void*)"msg");
    b = kip_fir_v6_3_create(&cb, print_message, (void*)"msg");
    if (a && b && mid && out && !kip_fir_v6_3_set_data_sink(a, mid, NULL)
        && !kip_fir_v6_3_set_data_handler(a, kip_fir_v6_3_data_send_handler, b, NULL)
        && !kip_fir_v6_3_set_data_sink(b, out, NULL)) {
        printf("chain A->B:");
        status = send_and_print(a, out, 4, ramp); /* A's status is B's status */
        printf("  (A gave %u samples)\n", (unsigned)mid->data_size);
    }
    kip_fir_v6_3_destroy(a);
    kip_fir_v6_3_destroy(b);
    kip_array_real_destroy(mid);
    kip_array_real_destroy(out);
    return status;
}

int main(void)
{
    kip_fir_v6_3_config config;
    kip_fir_v6_3_config completed;
    kip_fir_v6_3* model;

    printf("FIR model version %s\n", kip_fir_v6_3_get_version());
    if (kip_fir_v6_3_default_config(&config) != 0)
        return 1;

    model = kip_fir_v6_3_create_dbg(
        &config, print_message, (void*)"msg", print_message, (void*)"dbg");
    if (!model) {
        fprintf(stderr, "model creation failed\n");
        return 1;
    }
    if (kip_fir_v6_3_get_config(model, &completed) != 0) {
        kip_fir_v6_3_destroy(model);
        return 1;
    }
    printf("(%d coefficient notes not shown)\n", coeff_notes);
    printf("Completed configuration:\n");
    print_config(&completed);
    if (kip_fir_v6_3_destroy(model) != 0)
        return 1;

    if (run_filters() != 0)
        return 1;
    if (demo_coefficient_switch() || demo_reload() || demo_chain()) {
        fprintf(stderr, "reconfiguration demo failed\n");
        return 1;
    }
    return 0;
}
