// cross_harness -- runs the cross-front-end cases through the C interfaces and through the
// SystemVerilog DPI-C layers (called as a simulator calls them: this program supplies the svdpi
// open-array functions the layers use), the way a user of each drives them, and writes every
// case's words or refusal as JSON.
//
//   cross_harness CASES.json RESULTS.json
//
// RESULTS.json: { "c": { id: result }, "dpi": { id: result } }, result = { "status": "ok" |
// "refused" | "n/a", "words": [decimal strings], "blk_exp": [..], "overflow": [..], "message" }.
// Word order: FIR output vectors, channels, paths fastest (Hilbert: real then imaginary word of
// each output); FFT frames, bins, real then imaginary word of each bin.
#include <gmp.h>
#include <nlohmann/json.hpp>
#include <svdpi.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "../common/dpi_imports.h"
#include "kfft_v8_0_bitacc_cmodel.h"
#include "tapforge_v6_3_bitacc_cmodel.h"

using nlohmann::json;

namespace {

struct OpenArray {
    void* data;
    int size;
    std::size_t elem;
};

template <class T> struct Array {
    std::vector<T> v;
    OpenArray a;
    explicit Array(std::vector<T> values)
        : v(std::move(values))
        , a { v.data(), static_cast<int>(v.size()), sizeof(T) }
    {
    }
    svOpenArrayHandle h() { return &a; }
};

} // namespace

extern "C" {
int svSize(const svOpenArrayHandle h, int) { return static_cast<const OpenArray*>(h)->size; }
int svLeft(const svOpenArrayHandle, int) { return 0; }
int svRight(const svOpenArrayHandle h, int) { return static_cast<const OpenArray*>(h)->size - 1; }
void* svGetArrElemPtr1(const svOpenArrayHandle h, int index)
{
    const OpenArray& a = *static_cast<const OpenArray*>(h);
    if (index < 0 || index >= a.size)
        std::abort(); // a fault of the layer
    return static_cast<char*>(a.data) + static_cast<std::size_t>(index) * a.elem;
}
}

namespace {

json refused(const std::string& why) { return { { "status", "refused" }, { "message", why } }; }

std::string mpz_text(const mpz_t v)
{
    char* s = mpz_get_str(nullptr, 10, v);
    std::string t(s);
    void (*release)(void*, size_t);
    mp_get_memory_functions(nullptr, nullptr, &release);
    release(s, std::strlen(s) + 1);
    return t;
}

// ---------------------------------------------------------------- FIR through the C interface

std::string last_error;
void on_message(void*, int32_t error, const char* text)
{
    if (error)
        last_error = text;
}

json fir_c(const json& cs)
{
    // As a C user: the record's members written directly, create judges them.
    kip_fir_v6_3_config cfg;
    kip_fir_v6_3_default_config(&cfg);
    for (auto& [key, value] : cs.at("config").items()) {
        if (key == "coeff")
            continue;
        const kip_fir_v6_3_field_desc* d = kip_fir_v6_3_field_find(key.c_str());
        if (!d)
            return refused("unknown field " + key);
        const int32_t v = value.get<int32_t>();
        std::memcpy(reinterpret_cast<char*>(&cfg) + d->offset, &v, sizeof v);
    }
    std::vector<double> coeff;
    if (cs.at("config").contains("coeff")) {
        coeff = cs.at("config").at("coeff").get<std::vector<double>>();
        if (!cs.at("config").contains("num_coeffs"))
            cfg.num_coeffs = static_cast<int32_t>(coeff.size()) / std::max(cfg.coeff_sets, 1);
        if (static_cast<size_t>(cfg.num_coeffs) * static_cast<size_t>(cfg.coeff_sets)
            != coeff.size())
            return refused("coefficient count does not match num_coeffs x coeff_sets");
        cfg.coeff = coeff.data();
    }
    last_error.clear();
    kip_fir_v6_3* m = kip_fir_v6_3_create(&cfg, on_message, nullptr);
    if (!m)
        return refused(last_error);
    kip_fir_v6_3_config eff;
    kip_fir_v6_3_get_config(m, &eff);
    const std::vector<int64_t> words = cs.at("input_words").get<std::vector<int64_t>>();
    const size_t frame = size_t(eff.num_paths) * size_t(eff.num_channels);
    kip_array_real* in = kip_array_real_create();
    kip_array_real_reserve_dim(in, 3);
    kip_array_real_reserve_data(in, words.size());
    in->dim_size = 3;
    in->dim[0] = size_t(eff.num_paths);
    in->dim[1] = size_t(eff.num_channels);
    in->dim[2] = words.size() / frame;
    in->data_size = words.size();
    for (size_t i = 0; i < words.size(); ++i)
        in->data[i] = std::ldexp(double(words[i]), -eff.data_fract_width);
    json r = { { "status", "ok" }, { "words", json::array() } };
    const bool hilbert = eff.filter_type == 3;
    kip_array_mpz* out = hilbert ? nullptr : kip_array_mpz_create();
    kip_array_mpz_complex* out_c = hilbert ? kip_array_mpz_complex_create() : nullptr;
    // The sink receives every complete output vector at the end of data_send.
    if (kip_fir_v6_3_set_data_sink_mpz(m, out, out_c) != 0 || kip_fir_v6_3_data_send(m, in) != 0) {
        r = refused(last_error);
    } else if (hilbert) {
        for (size_t i = 0; i < out_c->data_size; ++i) {
            r["words"].push_back(mpz_text(out_c->data[i].re));
            r["words"].push_back(mpz_text(out_c->data[i].im));
        }
    } else {
        for (size_t i = 0; i < out->data_size; ++i)
            r["words"].push_back(mpz_text(out->data[i]));
    }
    r["output_width"] = eff.output_width;
    kip_array_mpz_destroy(out);
    kip_array_mpz_complex_destroy(out_c);
    kip_array_real_destroy(in);
    kip_fir_v6_3_destroy(m);
    return r;
}

// ---------------------------------------------------------------- FIR through the DPI layer

json fir_dpi(const json& cs)
{
    std::string settings;
    std::vector<double> coeff;
    for (auto& [key, value] : cs.at("config").items()) {
        if (key == "coeff")
            coeff = value.get<std::vector<double>>();
        else
            settings += key + "=" + std::to_string(value.get<long long>()) + " ";
    }
    Array<double> taps(coeff);
    const char* msg = nullptr;
    void* h = kip_fir_dpi_create_ex("tapforge_v6_3", taps.h(), settings.c_str(), &msg);
    if (!h)
        return refused(msg ? msg : "");
    json r = { { "status", "ok" }, { "words", json::array() } };
    const int hilbert = cs.at("config").value("filter_type", 0) == 3;
    for (long long w : cs.at("input_words").get<std::vector<long long>>()) {
        if (kip_fir_dpi_send(h, w) != 0) {
            r = refused(kip_fir_dpi_message(h));
            break;
        }
        while (kip_fir_dpi_available(h) > 0) {
            if (hilbert) {
                long long re = 0, im = 0;
                if (kip_fir_dpi_get_complex(h, &re, &im) != 0) {
                    r = refused(kip_fir_dpi_message(h));
                    break;
                }
                r["words"].push_back(std::to_string(re));
                r["words"].push_back(std::to_string(im));
                continue;
            }
            svBitVecVal wide[8];
            if (kip_fir_dpi_get_wide(h, wide) != 0) {
                r = refused(kip_fir_dpi_message(h));
                break;
            }
            mpz_t v;
            mpz_init(v);
            mpz_import(v, 8, -1, sizeof(svBitVecVal), 0, 0, wide);
            if (mpz_tstbit(v, 255)) { // sign-extended 256-bit word
                mpz_t top;
                mpz_init(top);
                mpz_setbit(top, 256);
                mpz_sub(v, v, top);
                mpz_clear(top);
            }
            r["words"].push_back(mpz_text(v));
            mpz_clear(v);
        }
        if (r["status"] != "ok")
            break;
    }
    kip_fir_dpi_destroy(h);
    return r;
}

// ---------------------------------------------------------------- FFT

int32_t float_bits(double x)
{
    const float f = static_cast<float>(x);
    int32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

double sample_value(int64_t word, const kelvar_ip_kfft_v8_0_generics& g)
{
    if (g.C_USE_FLT_PT == 1) {
        const uint32_t u = static_cast<uint32_t>(word);
        float f;
        std::memcpy(&f, &u, sizeof f);
        return double(f);
    }
    return std::ldexp(double(word), 1 - g.C_INPUT_WIDTH);
}

// The case's generics over the defaults.
kelvar_ip_kfft_v8_0_generics generics_of(const json& cs)
{
    kelvar_ip_kfft_v8_0_generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    for (auto& [key, value] : cs.at("generics").items()) {
        const kelvar_ip_kfft_v8_0_generic_desc* d = kelvar_ip_kfft_v8_0_generic_find(key.c_str());
        if (!d)
            throw std::runtime_error("unknown generic " + key);
        const int32_t v = value.get<int32_t>();
        std::memcpy(reinterpret_cast<char*>(&g) + d->offset, &v, sizeof v);
    }
    return g;
}

json fft_c(const json& cs)
{
    // As a C user: the generics written directly, create_state judges them.
    const kelvar_ip_kfft_v8_0_generics g = generics_of(cs);
    kelvar_ip_kfft_v8_0_state* s = kelvar_ip_kfft_v8_0_create_state(g);
    if (!s)
        return refused("create_state refused the generics");
    const int32_t nfft = cs.at("nfft").is_null() ? g.C_NFFT_MAX : cs.at("nfft").get<int32_t>();
    std::vector<int32_t> sched;
    if (cs.at("scaling").is_null()) {
        sched.resize(size_t(std::max(kelvar_ip_kfft_v8_0_stage_count(g, nfft), 0)));
        kelvar_ip_kfft_v8_0_default_schedule(
            g, nfft, sched.data(), static_cast<int32_t>(sched.size()));
    } else {
        sched = cs.at("scaling").get<std::vector<int32_t>>();
    }
    json r = { { "status", "ok" }, { "words", json::array() }, { "blk_exp", json::array() },
        { "overflow", json::array() } };
    for (const auto& frame : cs.at("frames")) {
        const std::vector<int64_t> w = frame.get<std::vector<int64_t>>();
        const size_t n = w.size() / 2;
        std::vector<double> xr(n), xi(n), yr(n), yi(n);
        for (size_t k = 0; k < n; ++k) {
            xr[k] = sample_value(w[2 * k], g);
            xi[k] = sample_value(w[2 * k + 1], g);
        }
        kelvar_ip_kfft_v8_0_inputs in { nfft, xr.data(), int32_t(n), xi.data(), int32_t(n),
            sched.empty() ? nullptr : sched.data(), int32_t(sched.size()),
            cs.at("direction").get<int32_t>() };
        kelvar_ip_kfft_v8_0_outputs out { yr.data(), int32_t(n), yi.data(), int32_t(n), 0, 0 };
        const int rc = kelvar_ip_kfft_v8_0_bitacc_simulate(s, &in, &out);
        if (rc != 0) {
            r = refused("simulate code " + std::to_string(rc));
            break;
        }
        for (size_t k = 0; k < size_t(out.xk_re_size); ++k)
            for (double y : { yr[k], yi[k] })
                r["words"].push_back(g.C_USE_FLT_PT == 1
                        ? std::to_string(uint32_t(float_bits(y)))
                        : std::to_string(int64_t(std::ldexp(y, g.C_INPUT_WIDTH - 1))));
        r["blk_exp"].push_back(out.blk_exp);
        r["overflow"].push_back(out.overflow);
    }
    r["output_width"] = kelvar_ip_kfft_v8_0_output_width(g, nfft);
    kelvar_ip_kfft_v8_0_destroy_state(s);
    return r;
}

json fft_dpi(const json& cs)
{
    const kelvar_ip_kfft_v8_0_generics g = generics_of(cs);
    if (g.C_USE_FLT_PT == 1)
        return { { "status", "n/a" }, { "message", "the DPI layer is fixed point only" } };
    const char* msg = nullptr;
    void* h = kip_fft_dpi_create(g.C_NFFT_MAX, g.C_ARCH, g.C_HAS_NFFT, g.C_INPUT_WIDTH,
        g.C_TWIDDLE_WIDTH, g.C_HAS_SCALING, g.C_HAS_BFP, g.C_HAS_ROUNDING, &msg);
    if (!h)
        return refused(msg ? msg : "");
    const int32_t nfft = cs.at("nfft").is_null() ? g.C_NFFT_MAX : cs.at("nfft").get<int32_t>();
    // No schedule given: an empty array, as a bench that leaves the choice to the model.
    Array<int> sch(cs.at("scaling").is_null() ? std::vector<int> {}
                                              : cs.at("scaling").get<std::vector<int>>());
    json r = { { "status", "ok" }, { "words", json::array() }, { "blk_exp", json::array() },
        { "overflow", json::array() } };
    for (const auto& frame : cs.at("frames")) {
        const std::vector<long long> w = frame.get<std::vector<long long>>();
        const size_t n = w.size() / 2;
        std::vector<long long> re(n), im(n);
        for (size_t k = 0; k < n; ++k) {
            re[k] = w[2 * k];
            im[k] = w[2 * k + 1];
        }
        Array<long long> xr(re), xi(im), yr(std::vector<long long>(n, 0)),
            yi(std::vector<long long>(n, 0));
        int blk = 0, ovf = 0;
        const int rc = kip_fft_dpi_transform(h, nfft, cs.at("direction").get<int>(), sch.h(),
            xr.h(), xi.h(), yr.h(), yi.h(), &blk, &ovf);
        if (rc != 0) {
            r = refused(std::string("code ") + std::to_string(rc) + ": " + kip_fft_dpi_message(h));
            break;
        }
        for (size_t k = 0; k < n; ++k) {
            r["words"].push_back(std::to_string(yr.v[k]));
            r["words"].push_back(std::to_string(yi.v[k]));
        }
        r["blk_exp"].push_back(blk);
        r["overflow"].push_back(ovf);
    }
    if (r["status"] == "ok")
        r["output_width"] = kip_fft_dpi_output_width(h, nfft);
    kip_fft_dpi_destroy(h);
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: cross_harness CASES.json RESULTS.json\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    const json cases = json::parse(in);
    json results = { { "c", json::object() }, { "dpi", json::object() } };
    for (const auto& cs : cases) {
        const std::string id = cs.at("id");
        const bool fir = cs.at("kind") == "fir";
        try {
            results["c"][id] = fir ? fir_c(cs) : fft_c(cs);
        } catch (const std::exception& e) {
            results["c"][id] = refused(std::string("harness: ") + e.what());
        }
        try {
            results["dpi"][id] = fir ? fir_dpi(cs) : fft_dpi(cs);
        } catch (const std::exception& e) {
            results["dpi"][id] = refused(std::string("harness: ") + e.what());
        }
    }
    std::ofstream(argv[2]) << results.dump(1) << "\n";
    return 0;
}
