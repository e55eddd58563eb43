// libFuzzer target for the FFT model's C interface: hostile generics, create_state, several
// frames of fuzzed geometry and contents, destroy_state. Besides the sanitizers it checks that
// status 0 never comes with an error line and a failure never comes silently, that refused
// calls leave the outputs untouched, that nothing is written past the N bins, and that
// fixed-point bins are finite and within the output range.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "kfft_v8_0_bitacc_cmodel.h"
#include "message_sink.h"

namespace {

constexpr int kMaxFrames = 4;
const double kSentinel = -12345.5;

// Counts the error lines the library hands to the calling thread's message sink during one
// call (warnings are dropped: they are not part of the invariants).
class Capture {
public:
    Capture()
        : guard_(&Capture::take, this)
    {
    }
    int errors() const { return errors_; }

private:
    static void take(void* ctx, int is_error, const char*)
    {
        if (is_error != 0)
            ++static_cast<Capture*>(ctx)->errors_;
    }
    int errors_ = 0;
    kfft::ScopedMessageSink guard_;
};

kelvar_ip_kfft_v8_0_generics hostile_generics(FuzzInput& in)
{
    kelvar_ip_kfft_v8_0_generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    // Small transforms by default: a frame of 2^16 points is slow under the sanitizers.
    g.C_NFFT_MAX
        = in.int_field(3 + static_cast<int32_t>(in.below(6)), { 6, 8, 10, 12, 16, 2, 17, -1 });
    g.C_ARCH = in.int_field(1 + static_cast<int32_t>(in.below(4)), { 0, 5, -1 });
    g.C_HAS_NFFT = in.int_field(static_cast<int32_t>(in.below(2)), { 2, -1 });
    g.C_USE_FLT_PT = in.int_field(0, { 1, 2, -1 });
    g.C_INPUT_WIDTH = in.int_field(g.C_USE_FLT_PT == 1 ? 32 : 16, { 8, 12, 24, 32, 34, 7, 35 });
    g.C_TWIDDLE_WIDTH = in.int_field(16, { 8, 12, 24, 34, 7, 35 });
    g.C_HAS_SCALING = in.int_field(1, { 0, 2, -1 });
    g.C_HAS_BFP = in.int_field(0, { 1, 2 });
    g.C_HAS_ROUNDING = in.int_field(0, { 1, 2 });
    return g;
}

double fixed_sample(FuzzInput& in, int width)
{
    const uint8_t b = in.byte();
    if (b < 160) { // on the input grid
        const double scale = std::ldexp(1.0, (width > 2 && width < 40 ? width : 16) - 1);
        return static_cast<int8_t>(in.byte()) * 251 / scale;
    }
    if (b < 200)
        return (static_cast<int>(b) - 180) / 20.0; // mostly in range, off the grid
    return in.sample();
}

// One frame: a geometry that is mostly right, hostile sizes and pointers sometimes.
void frame(FuzzInput& in, kelvar_ip_kfft_v8_0_state* state, const kelvar_ip_kfft_v8_0_generics& g)
{
    const int32_t nfft_max = g.C_NFFT_MAX;
    kelvar_ip_kfft_v8_0_inputs x {};
    x.nfft = in.int_field(g.C_HAS_NFFT == 1 ? 3 + static_cast<int32_t>(in.below(14)) : nfft_max,
        { nfft_max, 0, 2, 5, 6, 17, -1 });
    const int32_t eff = g.C_HAS_NFFT == 1 ? x.nfft : nfft_max;
    const int32_t n = eff >= 0 && eff <= 16 ? int32_t(1) << eff : 8;

    const uint8_t pick = in.byte();
    const int32_t in_size = pick % 16 == 0 ? n + 1
        : pick % 16 == 1                   ? n - 1
        : pick % 16 == 2                   ? -1
                                           : n;
    std::vector<double> re(in_size > 0 ? static_cast<std::size_t>(in_size) : 0);
    std::vector<double> im(re.size());
    // A few fuzzed samples, repeated over the frame.
    double pattern[8];
    const unsigned k = 1 + in.below(8);
    for (unsigned i = 0; i < k; ++i)
        pattern[i] = g.C_USE_FLT_PT == 1 ? in.sample() : fixed_sample(in, g.C_INPUT_WIDTH);
    for (std::size_t i = 0; i < re.size(); ++i) {
        re[i] = pattern[i % k];
        im[i] = pattern[(i * 3 + 1) % k];
    }
    x.xn_re = in.byte() % 32 == 0 ? nullptr : re.data();
    x.xn_re_size = in_size;
    x.xn_im = in.byte() % 32 == 0 ? nullptr : im.data();
    x.xn_im_size = in_size;

    const int32_t stages = (g.C_ARCH == 1 || g.C_ARCH == 3) ? (eff + 1) / 2 : eff;
    const int32_t sch_size = in.int_field(stages, { 0, stages + 1, stages - 1, -1 });
    std::vector<int32_t> sch(
        sch_size > 0 && sch_size < 64 ? static_cast<std::size_t>(sch_size) : 0);
    for (int32_t& s : sch)
        s = in.byte() < 240 ? in.below(4) : in.int_field(0, { 4, -1, 1 << 30 });
    x.scaling_sch = in.byte() % 32 == 0 ? nullptr : sch.data();
    x.scaling_sch_size = sch_size > 0 && sch_size < 64 ? sch_size : 0;
    x.direction = in.int_field(1, { 0, 2, -1 });

    const int32_t out_size = in.int_field(n, { n - 1, n + 3, 0 });
    // The library writes at most N bins: a stated capacity far beyond that gets N + 64.
    std::size_t cap = out_size > 0 ? static_cast<std::size_t>(out_size) : 0;
    if (cap > static_cast<std::size_t>(n) + 64)
        cap = static_cast<std::size_t>(n) + 64;
    std::vector<double> ore(cap, kSentinel), oim(cap, kSentinel);
    kelvar_ip_kfft_v8_0_outputs y {};
    y.xk_re = in.byte() % 32 == 0 ? nullptr : ore.data();
    y.xk_re_size = out_size;
    y.xk_im = in.byte() % 32 == 0 ? nullptr : oim.data();
    y.xk_im_size = out_size;
    y.blk_exp = -77;
    y.overflow = -77;
    const kelvar_ip_kfft_v8_0_outputs y0 = y;

    int rc, errors;
    {
        Capture capture;
        rc = kelvar_ip_kfft_v8_0_bitacc_simulate(state, &x, &y);
        errors = capture.errors();
    }
    CHECK(rc >= 0 && rc <= 24);
    if (rc != 0) {
        CHECK(errors == 1);
        CHECK(std::memcmp(&y, &y0, sizeof y) == 0);
        for (std::size_t i = 0; i < cap; ++i)
            CHECK(ore[i] == kSentinel && oim[i] == kSentinel);
        return;
    }
    CHECK(errors == 0);
    CHECK(y.xk_re_size == n && y.xk_im_size == n);
    CHECK(n <= out_size);
    for (std::size_t i = static_cast<std::size_t>(n); i < cap; ++i)
        CHECK(ore[i] == kSentinel && oim[i] == kSentinel);
    CHECK(y.overflow == 0 || y.overflow == 1);
    CHECK(y.blk_exp >= 0 && y.blk_exp <= 3 * eff);
    if (g.C_USE_FLT_PT == 0) {
        const double bound = std::ldexp(1.0, nfft_max + 1);
        for (int32_t i = 0; i < n; ++i) {
            CHECK(std::isfinite(ore[i]) && std::isfinite(oim[i]));
            CHECK(std::fabs(ore[i]) <= bound && std::fabs(oim[i]) <= bound);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzInput in(data, size);
    const kelvar_ip_kfft_v8_0_generics g = hostile_generics(in);
    kelvar_ip_kfft_v8_0_state* state;
    int errors;
    {
        Capture capture;
        state = kelvar_ip_kfft_v8_0_create_state(g);
        errors = capture.errors();
    }
    CHECK(errors == (state == nullptr ? 1 : 0));
    if (state == nullptr)
        return 0;
    for (int f = 0; f < kMaxFrames && !in.empty(); ++f)
        frame(in, state, g);
    kelvar_ip_kfft_v8_0_destroy_state(state);
    return 0;
}
