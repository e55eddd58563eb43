#include "api_checks.h"

#include <cmath>

#include "api_generics.h"
#include "api_messages.h"
#include "frame_lanes.h"
#include "path_plan.h"

namespace kfft {
namespace {

    const char* const kSim = "ERROR:kfft_v8_0:simulate called with ";

    // Index of the first sample out of range, or -1. The common all-valid frame is tested a
    // vector at a time.
    int32_t first_bad_sample(const double* x, int32_t n, bool flt, Path loops)
    {
        if (!samples_in_range(x, n, flt, loops))
            for (int32_t k = 0; k < n; ++k)
                if (sample_out_of_range(x[k], flt))
                    return k;
        return -1;
    }

    // Scans one sample array; returns true (after the message) when a value is out of range.
    bool bad_sample(
        const double* x, int32_t n, bool flt, Path loops, const char* kind, const char* name)
    {
        const int32_t i = first_bad_sample(x, n, flt, loops);
        if (i < 0)
            return false;
        MessageLine m;
        m << kSim << "invalid " << kind << " data value: " << name << "[" << i << "] = " << x[i]
          << ": all values must be in the range ";
        if (flt)
            m << static_cast<float>(-kFloatMax) << "< data < " << static_cast<float>(kFloatMax);
        else
            m << "-1.0 <= data < 1.0";
        emit_line(m);
        return true;
    }

} // namespace

int check_generics(const kelvar_ip_kfft_v8_0_generics& g)
{
    std::string line;
    const int rule = first_generics_fault(g, &line);
    if (rule != 0)
        emit_line(line);
    return rule;
}

// ---- the whole-frame range test, built twice (baseline and AVX2)

namespace {

    using namespace kfft_lanes;

    // True when no x[i], i in [0, n), is out of range; false when one is, or when a
    // floating-point sample lies beyond the single range (it may be an infinity in single
    // precision: the caller looks at it alone). Fixed-point: within [-1, 1) (NaN fails);
    // floating-point: NaN passes. The tail beyond the lanes, one by one.
    template <int L>
    [[gnu::always_inline]] inline bool range_loop(const double* x, int32_t n, bool flt)
    {
        typedef typename Lanes<L>::D D;
        typedef typename Lanes<L>::M M;
        M ok0 = ~M {}, ok1 = ~M {};
        int32_t i = 0;
        if (!flt) {
            const D lo = splat<D>(-1.0), hi = splat<D>(1.0);
            for (; i + 2 * L <= n; i += 2 * L) {
                const D a = load<D>(x + i), b = load<D>(x + i + L);
                ok0 &= (a >= lo) & (a < hi);
                ok1 &= (b >= lo) & (b < hi);
            }
        } else {
            const D lo = splat<D>(-kFloatMax), hi = splat<D>(kFloatMax);
            M off0 = {}, off1 = {};
            for (; i + 2 * L <= n; i += 2 * L) {
                const D a = load<D>(x + i), b = load<D>(x + i + L);
                off0 |= (a > hi) | (a < lo);
                off1 |= (b > hi) | (b < lo);
            }
            ok0 = ~(off0 | off1);
        }
        bool all_ok = none(~(ok0 & ok1));
        for (; i < n; ++i)
            all_ok &= !sample_out_of_range(x[i], flt);
        return all_ok;
    }

    bool range_portable(const double* x, int32_t n, bool flt) { return range_loop<2>(x, n, flt); }

#if defined(KFFT_X86_DISPATCH)
    [[gnu::target("avx2")]] bool range_avx2(const double* x, int32_t n, bool flt)
    {
        return range_loop<4>(x, n, flt);
    }

    KFFT_AVX512_BEGIN
    template bool range_loop<8>(const double*, int32_t, bool);

    [[gnu::target("avx512f")]] bool range_avx512(const double* x, int32_t n, bool flt)
    {
        return range_loop<8>(x, n, flt);
    }
    KFFT_AVX512_END
#endif

} // namespace

bool samples_in_range(const double* x, int32_t n, bool floating_point, Path loops)
{
    bool (*loop)(const double*, int32_t, bool) = range_portable;
#if defined(KFFT_X86_DISPATCH)
    switch (kfft_lanes::lane_count(loops)) {
    case 8:
        loop = range_avx512;
        break;
    case 4:
        loop = range_avx2;
        break;
    default:
        break;
    }
#else
    (void)loops;
#endif
    if (loop(x, n, floating_point))
        return true;
    // Some sample beyond the loop's bounds: floating-point values beyond the single range may
    // still be infinities in single precision.
    for (int32_t i = 0; i < n; ++i)
        if (sample_out_of_range(x[i], floating_point))
            return false;
    return true;
}

bool sample_out_of_range(double x, bool floating_point)
{
    if (!floating_point)
        return !(x >= -1.0 && x < 1.0);
    return (x > kFloatMax || x < -kFloatMax) && !std::isinf(static_cast<float>(x));
}

int validate_call(const kelvar_ip_kfft_v8_0_generics& g, const kelvar_ip_kfft_v8_0_inputs& in,
    const kelvar_ip_kfft_v8_0_outputs& out, int32_t& nfft, Path loops)
{
    // Transform length of this frame.
    nfft = g.C_NFFT_MAX;
    if (g.C_HAS_NFFT == 1) {
        const int32_t lo = min_nfft(g);
        if (in.nfft < lo || in.nfft > g.C_NFFT_MAX) {
            emit_line(MessageLine() << kSim << "nfft input " << in.nfft << " out of legal range "
                                    << lo << " to C_NFFT_MAX");
            return g.C_ARCH == 1 ? KELVAR_IP_KFFT_V8_0_BAD_NFFT_R4 : KELVAR_IP_KFFT_V8_0_BAD_NFFT;
        }
        nfft = in.nfft;
    } else if (in.nfft != g.C_NFFT_MAX) {
        emit_line(MessageLine()
            << "WARNING:kfft_v8_0:simulate called with nfft input = " << in.nfft
            << ", different from C_NFFT_MAX = " << g.C_NFFT_MAX
            << ", which is not permitted when C_HAS_NFFT is 0.  The nfft input will be "
               "ignored and C_NFFT_MAX used instead.");
    }
    const int32_t n = int32_t { 1 } << nfft;
    const bool flt = g.C_USE_FLT_PT == 1;

    // Input samples.
    if (in.xn_re == nullptr) {
        emit_line(MessageLine() << kSim << "null pointer for xn_re input");
        return KELVAR_IP_KFFT_V8_0_NULL_XN_RE;
    }
    if (in.xn_re_size != n) {
        emit_line(MessageLine() << kSim << "incorrect xn_re_size input " << in.xn_re_size
                                << ": must be 2^nfft = " << n);
        return KELVAR_IP_KFFT_V8_0_BAD_XN_RE_SIZE;
    }
    if (bad_sample(in.xn_re, n, flt, loops, "real", "xn_re"))
        return KELVAR_IP_KFFT_V8_0_BAD_XN_RE_VALUE;
    if (in.xn_im == nullptr) {
        emit_line(MessageLine() << kSim << "null pointer for xn_im input");
        return KELVAR_IP_KFFT_V8_0_NULL_XN_IM;
    }
    if (in.xn_im_size != n) {
        emit_line(MessageLine() << kSim << "incorrect xn_im_size input " << in.xn_im_size
                                << ": must be 2^nfft = " << n);
        return KELVAR_IP_KFFT_V8_0_BAD_XN_IM_SIZE;
    }
    if (bad_sample(in.xn_im, n, flt, loops, "imaginary", "xn_im"))
        return KELVAR_IP_KFFT_V8_0_BAD_XN_IM_VALUE;

    // Scaling schedule: read only for the scaled, non block floating point, fixed-point mode.
    if (g.C_HAS_SCALING == 1 && g.C_HAS_BFP == 0 && !flt) {
        if (in.scaling_sch == nullptr) {
            emit_line(MessageLine() << kSim << "null pointer for scaling_sch input");
            return KELVAR_IP_KFFT_V8_0_NULL_SCALING_SCH;
        }
        const bool radix4_steps = g.C_ARCH == 1 || g.C_ARCH == 3;
        if (radix4_steps && in.scaling_sch_size != (nfft + 1) / 2) {
            emit_line(MessageLine()
                << kSim << "incorrect scaling_sch_size input " << in.scaling_sch_size
                << ": must be ceil(nfft/2) = " << (nfft + 1) / 2);
            return KELVAR_IP_KFFT_V8_0_BAD_SCALING_SCH_SIZE_R4;
        }
        if (!radix4_steps && in.scaling_sch_size != nfft) {
            emit_line(MessageLine() << kSim << "incorrect scaling_sch_size input "
                                    << in.scaling_sch_size << ": must be nfft = " << nfft);
            return KELVAR_IP_KFFT_V8_0_BAD_SCALING_SCH_SIZE_R2;
        }
        for (int32_t i = 0; i < in.scaling_sch_size; ++i) {
            const int32_t v = in.scaling_sch[i];
            if (v < 0 || v > 3) {
                emit_line(MessageLine()
                    << kSim << "invalid scaling value: scaling_sch[" << i << "] = " << v
                    << ": all values must be in the range 0 to 3");
                return KELVAR_IP_KFFT_V8_0_BAD_SCALING_VALUE;
            }
        }
        const int32_t last = in.scaling_sch_size - 1;
        if (radix4_steps && (nfft & 1) && in.scaling_sch[last] > 1) {
            emit_line(MessageLine()
                << kSim << "invalid scaling value: scaling value in the final stage, scaling_sch["
                << last << "] = " << in.scaling_sch[last]
                << ": when C_ARCH = 1 (Radix-4, Burst I/O architecture) or C_ARCH = 3 "
                   "(Pipelined, Streaming I/O architecture) and nfft is odd, the final "
                   "stage scaling value must be 0 or 1");
            return KELVAR_IP_KFFT_V8_0_BAD_FINAL_SCALING_VALUE;
        }
    }

    if (in.direction != 0 && in.direction != 1) {
        emit_line(MessageLine() << kSim << "invalid direction input " << in.direction
                                << ": must be 0 or 1");
        return KELVAR_IP_KFFT_V8_0_BAD_DIRECTION;
    }

    // Output arrays.
    if (out.xk_re == nullptr) {
        emit_line(MessageLine() << kSim << "null pointer for xk_re output");
        return KELVAR_IP_KFFT_V8_0_NULL_XK_RE;
    }
    if (out.xk_im == nullptr) {
        emit_line(MessageLine() << kSim << "null pointer for xk_im output");
        return KELVAR_IP_KFFT_V8_0_NULL_XK_IM;
    }
    if (out.xk_re_size < n) {
        emit_line(MessageLine() << kSim << "too small a value for xk_re_size in outputs structure "
                                << out.xk_re_size << ": must be at least 2^nfft = " << n);
        return KELVAR_IP_KFFT_V8_0_SMALL_XK_RE_SIZE;
    }
    if (out.xk_im_size < n) {
        emit_line(MessageLine() << kSim << "too small a value for xk_im_size in outputs structure "
                                << out.xk_im_size << ": must be at least 2^nfft = " << n);
        return KELVAR_IP_KFFT_V8_0_SMALL_XK_IM_SIZE;
    }
    return KELVAR_IP_KFFT_V8_0_OK;
}

} // namespace kfft
