// kip-golden fft: JSON generics and frames of input words through the FFT model to bin words.
#include "golden.h"

#include <kfft_v8_0_bitacc_cmodel.h>

#include <cmath>
#include <cstring>
#include <memory>

namespace golden {

namespace {

    // Keys of the configuration: the generics the library describes and the per-frame inputs.
    std::vector<std::string> fft_keys()
    {
        std::vector<std::string> keys;
        for (int32_t i = 0; i < kelvar_ip_kfft_v8_0_generic_count(); ++i)
            keys.push_back(kelvar_ip_kfft_v8_0_generic_at(i)->name);
        for (const char* k : { "nfft", "direction", "scaling_sch" })
            keys.push_back(k);
        return keys;
    }

    struct StateDeleter {
        void operator()(kelvar_ip_kfft_v8_0_state* s) const
        {
            kelvar_ip_kfft_v8_0_destroy_state(s);
        }
    };

    int32_t float_bits(double x)
    {
        float f = static_cast<float>(x);
        int32_t b;
        std::memcpy(&b, &f, sizeof b);
        return b;
    }

    double from_float_bits(int64_t w)
    {
        uint32_t u = static_cast<uint32_t>(static_cast<uint64_t>(w));
        float f;
        std::memcpy(&f, &u, sizeof f);
        return double(f);
    }

} // namespace

void fft_generics(const ConfigKeys& keys, FftSetup& s)
{
    keys.check_known(fft_keys());
    kelvar_ip_kfft_v8_0_generics& g = s.g;
    g = kelvar_ip_kfft_v8_0_get_default_generics();
    for (int32_t i = 0; i < kelvar_ip_kfft_v8_0_generic_count(); ++i) {
        const kelvar_ip_kfft_v8_0_generic_desc& d = *kelvar_ip_kfft_v8_0_generic_at(i);
        if (!keys.has(d.name))
            continue;
        int32_t v = 0;
        keys.get_int(d.name, v, d.min_value, d.max_value);
        char msg[KELVAR_IP_KFFT_V8_0_MSG_LEN];
        if (kelvar_ip_kfft_v8_0_generics_set(&g, d.name, v, msg, sizeof msg) != 0)
            keys.fail(d.name, msg);
    }
}

void fft_frame_inputs(const ConfigKeys& keys, FftSetup& s)
{
    const kelvar_ip_kfft_v8_0_generics& g = s.g;
    int32_t nfft = g.C_NFFT_MAX;
    keys.get_int("nfft", nfft);
    if (nfft != g.C_NFFT_MAX && g.C_HAS_NFFT != 1)
        keys.fail("nfft",
            "differs from C_NFFT_MAX = " + std::to_string(g.C_NFFT_MAX)
                + "; a frame length chosen per frame needs C_HAS_NFFT = 1");
    if (kelvar_ip_kfft_v8_0_frame_length(g, nfft) == 0) {
        // The lengths the model accepts with these generics, for the message.
        int32_t lo = g.C_NFFT_MAX;
        while (lo > 0 && kelvar_ip_kfft_v8_0_frame_length(g, lo - 1) != 0)
            --lo;
        keys.fail("nfft",
            "value " + std::to_string(nfft) + " outside " + std::to_string(lo)
                + " to C_NFFT_MAX = " + std::to_string(g.C_NFFT_MAX));
    }
    s.nfft = nfft;
    keys.get_int("direction", s.direction, 0, 1);

    const int32_t stages = kelvar_ip_kfft_v8_0_stage_count(g, nfft);
    s.sched.clear();
    if (keys.has("scaling_sch")) {
        if (stages == 0)
            keys.fail("scaling_sch",
                "only scaled fixed-point generics (C_HAS_SCALING = 1, "
                "C_HAS_BFP = 0, C_USE_FLT_PT = 0) use a scaling schedule");
        keys.get_int_array("scaling_sch", s.sched, 0, 3);
        if (s.sched.size() != std::size_t(stages))
            keys.fail("scaling_sch",
                "holds " + std::to_string(s.sched.size()) + " shifts; frames of 2^"
                    + std::to_string(nfft) + " points with these generics have "
                    + std::to_string(stages) + " stages");
    } else if (stages > 0) {
        s.sched.resize(std::size_t(stages));
        kelvar_ip_kfft_v8_0_default_schedule(g, nfft, s.sched.data(), stages);
    }
}

int run_fft(const RunOptions& opt)
{
    std::vector<FileId> inputs;
    FileId id;
    if (file_id("configuration file", opt.config, id))
        inputs.push_back(id);
    const ConfigKeys keys(opt.config, read_json_config(opt.config));
    FftSetup setup;
    fft_generics(keys, setup);
    const kelvar_ip_kfft_v8_0_generics& g = setup.g;

    char msg[KELVAR_IP_KFFT_V8_0_MSG_LEN];
    if (kelvar_ip_kfft_v8_0_generics_check(g, msg, sizeof msg) != 0)
        throw InputError(opt.config + ": generics refused by the FFT model: " + msg);
    std::unique_ptr<kelvar_ip_kfft_v8_0_state, StateDeleter> state(
        kelvar_ip_kfft_v8_0_create_state(g));
    if (!state)
        throw InputError(opt.config
            + ": generics refused by the FFT model (see the ERROR:kfft_v8_0 line above)");
    fft_frame_inputs(keys, setup);
    const int32_t nfft = setup.nfft, direction = setup.direction;
    const std::vector<int32_t>& sched = setup.sched;
    const bool flt = g.C_USE_FLT_PT == 1;

    const int in_width = flt ? 32 : g.C_INPUT_WIDTH;
    const int out_width = kelvar_ip_kfft_v8_0_output_width(g, nfft);
    const std::size_t n = std::size_t(kelvar_ip_kfft_v8_0_frame_length(g, nfft));

    ByteSource src(opt.input, "input file");
    WordReader in(src, opt.radix, in_width, is_npy_name(opt.input));
    const std::size_t frame = 2 * n;
    auto not_whole = [&](const std::string& at, std::size_t words) {
        return InputError(at + std::to_string(words)
            + " words are not a whole number of frames of 2 x 2^" + std::to_string(nfft) + " = "
            + std::to_string(frame) + " words (real and imaginary word per sample; "
            + std::to_string(words % frame) + " left over)");
    };
    if (in.total() == 0)
        throw InputError(in.file() + ": no input words");
    if (in.total() > 0 && std::size_t(in.total()) % frame != 0)
        throw not_whole(in.file() + ": element " + std::to_string(in.total() - 1) + ": ",
            std::size_t(in.total()));
    inputs.push_back(*src.id());
    OutputFile out(opt.output, opt.radix, inputs);

    std::vector<double> xr(n), xi(n), yr(n), yi(n);
    std::size_t frames = 0, overflows = 0, first_overflow = 0;
    for (;; ++frames) {
        // One frame in memory at a time.
        std::size_t nw = 0;
        int64_t w;
        while (nw < frame && in.next(w)) {
            const double x = flt ? from_float_bits(w) : std::ldexp(double(w), 1 - in_width);
            (nw % 2 ? xi : xr)[nw / 2] = x;
            ++nw;
        }
        if (nw == 0)
            break;
        if (nw != frame)
            throw not_whole(in.last_at(), in.count());
        const std::size_t f = frames;
        kelvar_ip_kfft_v8_0_inputs inp;
        inp.nfft = nfft;
        inp.xn_re = xr.data();
        inp.xn_re_size = int32_t(n);
        inp.xn_im = xi.data();
        inp.xn_im_size = int32_t(n);
        inp.scaling_sch = sched.empty() ? nullptr : sched.data();
        inp.scaling_sch_size = int32_t(sched.size());
        inp.direction = direction;
        kelvar_ip_kfft_v8_0_outputs res;
        res.xk_re = yr.data();
        res.xk_re_size = int32_t(n);
        res.xk_im = yi.data();
        res.xk_im_size = int32_t(n);
        res.blk_exp = 0;
        res.overflow = 0;
        const int rc = kelvar_ip_kfft_v8_0_bitacc_simulate(state.get(), &inp, &res);
        if (rc >= 14 && rc <= 18)
            keys.fail(
                "scaling_sch", "refused by the FFT model (see the ERROR:kfft_v8_0 line above)");
        if (rc != 0)
            throw ModelError("the FFT model failed on frame " + std::to_string(f) + " (code "
                + std::to_string(rc) + ")");
        for (std::size_t k = 0; k < n; ++k) {
            for (double y : { yr[k], yi[k] }) {
                if (flt) {
                    out.put(int64_t(float_bits(y)), 32);
                    continue;
                }
                // Bins are exact multiples of the output LSB, 2^-(C_INPUT_WIDTH-1).
                const double w = std::ldexp(y, in_width - 1);
                if (!(std::trunc(w) == w) || std::fabs(w) > 9.0e15)
                    throw ModelError("frame " + std::to_string(f) + " bin " + std::to_string(k)
                        + ": value is not a whole output word");
                out.put(int64_t(w), out_width);
            }
        }
        out.put(int64_t(res.blk_exp), out_width);
        out.put(int64_t(res.overflow), out_width);
        if (res.overflow && overflows++ == 0)
            first_overflow = f;
        out.flush();
    }
    if (frames == 0)
        throw InputError(in.file() + ": no input words");
    out.set_shape({ frames, frame + 2 });
    if (overflows)
        std::fprintf(stderr,
            "kip-golden: warning: %zu of %zu frames overflowed%s (first: frame %zu)\n", overflows,
            frames, sched.empty() ? "" : " with the scaling schedule", first_overflow);
    if (out.wrapped())
        std::fprintf(stderr,
            "kip-golden: warning: %zu output word(s) lay outside their width and were "
            "written modulo 2^width (first: output word %zu)\n",
            out.wrapped(), out.first_wrapped());
    out.commit();
    std::fprintf(out.to_stdout() ? stderr : stdout,
        "kip-golden fft: %zu frames of %zu samples, %d-bit bin words and block exponent and "
        "overflow per frame (%zu words), to %s\n",
        frames, n, out_width, out.count(), opt.output.c_str());
    return 0;
}

} // namespace golden
