// DPI-C layer over the FFT model's C interface, imported by the SystemVerilog package
// kip_fft_dpi (kip_fft_dpi.sv). Samples and bins cross as two's complement integer words.
//
// The library's error lines reach the simulation through a per-thread message sink installed
// around each call (the layer links the FFT core directly); warnings still go to stderr.
#include <svdpi.h>

#include "kip_dpi_common.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kfft_v8_0_bitacc_cmodel.h"
#include "message_sink.h"

#define KIP_DPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Statuses of kip_fft_dpi_transform beyond the library's codes: a bin that is not a whole
// output word (not expected), and memory exhaustion.
constexpr int kOffGrid = 100;
constexpr int kOutOfMemory = 101;

struct FftDpi {
    kelvar_ip_kfft_v8_0_state* state = nullptr;
    kelvar_ip_kfft_v8_0_generics g {};
    std::vector<double> xr, xi, yr, yi;
    std::vector<int32_t> sch;
    std::string message;

    ~FftDpi()
    {
        if (state != nullptr)
            kelvar_ip_kfft_v8_0_destroy_state(state);
    }
};

// Keeps the last "ERROR:kfft_v8_0:" line of the calls made while it is installed; warning
// lines are passed on to the standard error stream as the C interface writes them.
class ErrorLine {
public:
    ErrorLine()
        : guard_(&ErrorLine::take, this)
    {
    }
    const std::string& text() const { return text_; }

private:
    static void take(void* ctx, int is_error, const char* line)
    {
        if (is_error == 0) {
            std::fputs(line, stderr);
            std::fputc('\n', stderr);
            std::fflush(stderr);
            return;
        }
        try {
            static_cast<ErrorLine*>(ctx)->text_ = line;
        } catch (...) {
        }
    }
    std::string text_;
    kfft::ScopedMessageSink guard_;
};

using kip_dpi::set_create_message;
using kip_dpi::sv_index;

kip_dpi::Registry<FftDpi>& registry()
{
    static kip_dpi::Registry<FftDpi> models;
    return models;
}

const char* const kNotLive = "Not a live kip_fft_dpi handle: destroyed, never created, or another "
                             "layer's (a kip_fir_dpi handle)";

template <class T> T& sv_elem(const svOpenArrayHandle a, int i)
{
    return *static_cast<T*>(svGetArrElemPtr1(a, sv_index(a, i)));
}

int transform(FftDpi& dpi, int nfft, int direction, const svOpenArrayHandle sch,
    const svOpenArrayHandle xn_re, const svOpenArrayHandle xn_im, const svOpenArrayHandle xk_re,
    const svOpenArrayHandle xk_im, int* blk_exp, int* overflow)
{
    // Points of the frame, 0 when the library will refuse this nfft.
    const int n = kelvar_ip_kfft_v8_0_frame_length(dpi.g, nfft);
    const int frac = dpi.g.C_INPUT_WIDTH - 1;
    // Arrays longer than the frame are used from their left end; shorter ones are passed as
    // they are and the library refuses them with its size message.
    const int n_re = std::min(svSize(xn_re, 1), n);
    const int n_im = std::min(svSize(xn_im, 1), n);
    dpi.xr.resize(static_cast<std::size_t>(std::max(n_re, 1)));
    dpi.xi.resize(static_cast<std::size_t>(std::max(n_im, 1)));
    // Words are exact in a double up to 2^53; larger ones lie far outside the input range and
    // are refused by the library whatever their rounding.
    for (int i = 0; i < n_re; ++i)
        dpi.xr[static_cast<std::size_t>(i)]
            = std::ldexp(static_cast<double>(sv_elem<long long>(xn_re, i)), -frac);
    for (int i = 0; i < n_im; ++i)
        dpi.xi[static_cast<std::size_t>(i)]
            = std::ldexp(static_cast<double>(sv_elem<long long>(xn_im, i)), -frac);
    // An empty schedule is the library's default one (never overflows).
    int n_sch = sch == nullptr ? 0 : svSize(sch, 1);
    dpi.sch.resize(static_cast<std::size_t>(std::max(n_sch, 1)));
    for (int i = 0; i < n_sch; ++i)
        dpi.sch[static_cast<std::size_t>(i)] = sv_elem<int>(sch, i);
    if (n_sch == 0) {
        n_sch = kelvar_ip_kfft_v8_0_default_schedule(dpi.g, nfft, nullptr, 0);
        dpi.sch.resize(static_cast<std::size_t>(std::max(n_sch, 1)));
        kelvar_ip_kfft_v8_0_default_schedule(dpi.g, nfft, dpi.sch.data(), n_sch);
    }
    const int cap_re = svSize(xk_re, 1);
    const int cap_im = svSize(xk_im, 1);
    dpi.yr.resize(static_cast<std::size_t>(std::max(cap_re, 1)));
    dpi.yi.resize(static_cast<std::size_t>(std::max(cap_im, 1)));

    kelvar_ip_kfft_v8_0_inputs in {};
    in.nfft = nfft;
    in.xn_re = dpi.xr.data();
    in.xn_re_size = n_re;
    in.xn_im = dpi.xi.data();
    in.xn_im_size = n_im;
    in.scaling_sch = dpi.sch.data();
    in.scaling_sch_size = n_sch;
    in.direction = direction;
    kelvar_ip_kfft_v8_0_outputs out {};
    out.xk_re = dpi.yr.data();
    out.xk_re_size = cap_re;
    out.xk_im = dpi.yi.data();
    out.xk_im_size = cap_im;
    ErrorLine error;
    const int rc = kelvar_ip_kfft_v8_0_bitacc_simulate(dpi.state, &in, &out);
    if (rc != 0) {
        dpi.message = error.text();
        if (dpi.message.empty())
            dpi.message = "kelvar_ip_kfft_v8_0_bitacc_simulate refused the frame with code "
                + std::to_string(rc);
        return rc;
    }
    // Bins are whole words of the output format: the value times 2^(C_INPUT_WIDTH - 1).
    std::vector<long long> re(static_cast<std::size_t>(n)), im(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        for (int part = 0; part < 2; ++part) {
            const double v
                = std::ldexp((part == 0 ? dpi.yr : dpi.yi)[static_cast<std::size_t>(k)], frac);
            if (!(std::fabs(v) < 0x1p62) || v != std::nearbyint(v)) {
                dpi.message = std::string("Bin ") + std::to_string(k)
                    + (part ? " imaginary" : " real") + " part is not a whole output word";
                return kOffGrid;
            }
            (part == 0 ? re : im)[static_cast<std::size_t>(k)] = static_cast<long long>(v);
        }
    }
    // Words past the frame are zeroed: simulators differ in what an output array's
    // unwritten elements hold.
    for (int k = 0; k < cap_re; ++k)
        sv_elem<long long>(xk_re, k) = k < n ? re[static_cast<std::size_t>(k)] : 0;
    for (int k = 0; k < cap_im; ++k)
        sv_elem<long long>(xk_im, k) = k < n ? im[static_cast<std::size_t>(k)] : 0;
    *blk_exp = out.blk_exp;
    *overflow = out.overflow;
    if (out.overflow != 0)
        dpi.message = "Warning: the scaling schedule overflowed in this frame (overflow = 1), so "
                      "the bins wrapped; the default schedule (an empty scaling_sch) never "
                      "overflows";
    return 0;
}

} // namespace

KIP_DPI_EXPORT void* kip_fft_dpi_create(int nfft_max, int arch, int has_nfft, int input_width,
    int twiddle_width, int has_scaling, int has_bfp, int has_rounding, const char** msg)
{
    try {
        std::unique_ptr<FftDpi> dpi(new FftDpi);
        kelvar_ip_kfft_v8_0_generics& g = dpi->g;
        g = kelvar_ip_kfft_v8_0_get_default_generics();
        g.C_NFFT_MAX = nfft_max;
        g.C_ARCH = arch;
        g.C_HAS_NFFT = has_nfft;
        g.C_USE_FLT_PT = 0;
        g.C_INPUT_WIDTH = input_width;
        g.C_TWIDDLE_WIDTH = twiddle_width;
        g.C_HAS_SCALING = has_scaling;
        g.C_HAS_BFP = has_bfp;
        g.C_HAS_ROUNDING = has_rounding;
        ErrorLine error;
        dpi->state = kelvar_ip_kfft_v8_0_create_state(g);
        if (dpi->state == nullptr) {
            const std::string& text = error.text();
            set_create_message(msg, text.empty() ? "The generics were refused" : text);
            return nullptr;
        }
        void* h = registry().add(std::move(dpi));
        set_create_message(msg, std::string());
        return h;
    } catch (...) {
        set_create_message(msg, "Out of memory");
        return nullptr;
    }
}

KIP_DPI_EXPORT void kip_fft_dpi_destroy(void* h) { registry().erase(h); }

KIP_DPI_EXPORT const char* kip_fft_dpi_message(void* h)
{
    if (h == nullptr)
        return "Null model handle";
    const std::shared_ptr<FftDpi> model = registry().find(h);
    return model ? model->message.c_str() : kNotLive;
}

KIP_DPI_EXPORT int kip_fft_dpi_output_width(void* h, int nfft)
{
    const std::shared_ptr<FftDpi> model = registry().find(h);
    return model ? kelvar_ip_kfft_v8_0_output_width(model->g, nfft) : 0;
}

KIP_DPI_EXPORT int kip_fft_dpi_transform(void* h, int nfft, int direction,
    const svOpenArrayHandle scaling_sch, const svOpenArrayHandle xn_re,
    const svOpenArrayHandle xn_im, svOpenArrayHandle xk_re, svOpenArrayHandle xk_im, int* blk_exp,
    int* overflow)
{
    int rc = KELVAR_IP_KFFT_V8_0_NULL_STATE;
    if (const std::shared_ptr<FftDpi> model = registry().find(h)) {
        FftDpi& dpi = *model;
        dpi.message.clear();
        try {
            // Missing arrays or result pointers (possible from C only) are refused before
            // anything is read, with the library's codes for the same faults.
            const struct {
                bool missing;
                int code;
                const char* what;
            } needs[] = { { xn_re == nullptr, KELVAR_IP_KFFT_V8_0_NULL_XN_RE, "xn_re" },
                { xn_im == nullptr, KELVAR_IP_KFFT_V8_0_NULL_XN_IM, "xn_im" },
                { xk_re == nullptr, KELVAR_IP_KFFT_V8_0_NULL_XK_RE, "xk_re" },
                { xk_im == nullptr, KELVAR_IP_KFFT_V8_0_NULL_XK_IM, "xk_im" },
                { blk_exp == nullptr, KELVAR_IP_KFFT_V8_0_NULL_OUTPUTS, "blk_exp" },
                { overflow == nullptr, KELVAR_IP_KFFT_V8_0_NULL_OUTPUTS, "overflow" } };
            rc = 0;
            for (const auto& n : needs)
                if (n.missing) {
                    dpi.message = std::string("Null ") + n.what + " argument";
                    rc = n.code;
                    break;
                }
            if (rc == 0)
                rc = transform(dpi, nfft, direction, scaling_sch, xn_re, xn_im, xk_re, xk_im,
                    blk_exp, overflow);
        } catch (...) {
            dpi.message = "Out of memory";
            rc = kOutOfMemory;
        }
    }
    if (rc != 0) {
        // Outputs of a refused call are zero, whatever the simulator's copying of arguments.
        if (xk_re != nullptr)
            for (int k = 0; k < svSize(xk_re, 1); ++k)
                sv_elem<long long>(xk_re, k) = 0;
        if (xk_im != nullptr)
            for (int k = 0; k < svSize(xk_im, 1); ++k)
                sv_elem<long long>(xk_im, k) = 0;
        if (blk_exp != nullptr)
            *blk_exp = 0;
        if (overflow != nullptr)
            *overflow = 0;
    }
    return rc;
}
