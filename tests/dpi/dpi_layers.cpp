// The SystemVerilog DPI-C layers called from C, as a simulator calls them: this program supplies
// the svdpi open-array functions the layers use (exported to them), so refusals can be checked
// under the sanitizers without a simulator.
#include <gtest/gtest.h>

#include <svdpi.h>

#include "../common/dpi_imports.h"
#include "kfft_v8_0_bitacc_cmodel.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// An open array as the layers see it: elements [left..right] in either direction.
struct OpenArray {
    void* data;
    int size;
    int left;
    int right;
    std::size_t elem;
};

} // namespace

extern "C" {

int svSize(const svOpenArrayHandle h, int) { return static_cast<const OpenArray*>(h)->size; }
int svLeft(const svOpenArrayHandle h, int) { return static_cast<const OpenArray*>(h)->left; }
int svRight(const svOpenArrayHandle h, int) { return static_cast<const OpenArray*>(h)->right; }
void* svGetArrElemPtr1(const svOpenArrayHandle h, int index);
}

namespace {

template <class T> struct Array {
    std::vector<T> v;
    OpenArray a;
    explicit Array(std::vector<T> values, bool descending = false)
        : v(std::move(values))
        , a { v.data(), static_cast<int>(v.size()), 0, 0, sizeof(T) }
    {
        const int last = static_cast<int>(v.size()) - 1;
        a.left = descending ? last : 0;
        a.right = descending ? 0 : last;
        if (v.empty())
            a.left = a.right = 0;
    }
    svOpenArrayHandle h() { return &a; }
};

bool contains(const char* text, const char* part)
{
    return text != nullptr && std::strstr(text, part) != nullptr;
}

} // namespace

// An index outside the array is a fault of the layer: stop at once.
void* svGetArrElemPtr1(const svOpenArrayHandle h, int index)
{
    const OpenArray& a = *static_cast<const OpenArray*>(h);
    const int lo = a.left < a.right ? a.left : a.right;
    if (a.size == 0 || index < lo || index >= lo + a.size)
        std::abort();
    const int pos = a.left <= a.right ? index - a.left : a.left - index;
    return static_cast<char*>(a.data) + static_cast<std::size_t>(pos) * a.elem;
}

namespace {

// Wrong handles of every kind: the other layer's, destroyed ones, garbage and null. None may be
// read; each call returns its failure status and the message names the fault.
TEST(DpiLayers, EveryWrongHandleIsRefusedWithoutTouchingMemory)
{
    const char* msg = nullptr;
    Array<double> taps({ 1.0, 2.0, 1.0 });
    void* fir = kip_fir_dpi_create_ex("fir", taps.h(), "", &msg);
    ASSERT_NE(fir, nullptr) << msg;
    void* fft = kip_fft_dpi_create(3, 2, 0, 16, 16, 0, 0, 0, &msg);
    ASSERT_NE(fft, nullptr) << msg;
    void* dead_fir = kip_fir_dpi_create_ex("dead", taps.h(), "", &msg);
    void* dead_fft = kip_fft_dpi_create(3, 2, 0, 16, 16, 0, 0, 0, &msg);
    ASSERT_NE(dead_fir, nullptr);
    ASSERT_NE(dead_fft, nullptr);
    kip_fir_dpi_destroy(dead_fir);
    kip_fft_dpi_destroy(dead_fft);
    kip_fir_dpi_destroy(dead_fir); // twice: nothing happens
    kip_fft_dpi_destroy(dead_fft);
    unsigned char garbage[256];
    std::memset(garbage, 0xA5, sizeof garbage);

    Array<long long> words({ 1, 2, 3, 4, 5, 6, 7, 8 });
    Array<long long> out(std::vector<long long>(8, 7));
    Array<long long> out_im(std::vector<long long>(8, 7));
    Array<int> sch({});
    long long y = 7, re = 7, im = 7;
    svBitVecVal wide[8];
    int blk_exp = 7, overflow = 7;

    for (void* bad : { fft, dead_fir, static_cast<void*>(garbage), static_cast<void*>(nullptr) }) {
        SCOPED_TRACE(bad == fft ? "FFT handle" : bad == dead_fir ? "destroyed" : "garbage or null");
        EXPECT_EQ(kip_fir_dpi_send(bad, 1), 1);
        EXPECT_EQ(kip_fir_dpi_send_frame(bad, words.h()), 1);
        EXPECT_EQ(kip_fir_dpi_get(bad, &y), 1);
        EXPECT_EQ(kip_fir_dpi_get_complex(bad, &re, &im), 1);
        EXPECT_EQ(kip_fir_dpi_get_frame(bad, out.h()), 1);
        EXPECT_EQ(kip_fir_dpi_get_wide(bad, wide), 1);
        EXPECT_EQ(kip_fir_dpi_reset(bad), 1);
        EXPECT_EQ(kip_fir_dpi_available(bad), 0);
        EXPECT_EQ(kip_fir_dpi_output_width(bad), 0);
        EXPECT_EQ(kip_fir_dpi_output_fract_width(bad), 0);
        EXPECT_TRUE(y == 0 && re == 0 && im == 0 && out.v[7] == 0 && wide[7] == 0);
        EXPECT_TRUE(contains(kip_fir_dpi_message(bad),
            bad == nullptr ? "Null model handle" : "Not a live kip_fir_dpi handle"))
            << kip_fir_dpi_message(bad);
        kip_fir_dpi_destroy(bad); // must not free the FFT model
    }
    EXPECT_EQ(garbage[0], 0xA5);
    for (void* bad : { fir, dead_fft, static_cast<void*>(garbage), static_cast<void*>(nullptr) }) {
        SCOPED_TRACE(bad == fir ? "FIR handle" : bad == dead_fft ? "destroyed" : "garbage or null");
        out.v.assign(8, 7);
        EXPECT_EQ(kip_fft_dpi_transform(bad, 3, 1, sch.h(), words.h(), words.h(), out.h(),
                      out_im.h(), &blk_exp, &overflow),
            1);
        EXPECT_TRUE(out.v[0] == 0 && out_im.v[7] == 0 && blk_exp == 0 && overflow == 0);
        EXPECT_EQ(kip_fft_dpi_output_width(bad, 3), 0);
        EXPECT_TRUE(contains(kip_fft_dpi_message(bad),
            bad == nullptr ? "Null model handle" : "Not a live kip_fft_dpi handle"))
            << kip_fft_dpi_message(bad);
        kip_fft_dpi_destroy(bad); // must not free the FIR model
    }
    EXPECT_EQ(garbage[0], 0xA5);

    // Both models survived every wrong call.
    EXPECT_EQ(kip_fir_dpi_send(fir, 3), 0);
    EXPECT_EQ(kip_fir_dpi_get(fir, &y), 0);
    EXPECT_EQ(y, 3);
    EXPECT_EQ(kip_fft_dpi_transform(fft, 3, 1, sch.h(), words.h(), words.h(), out.h(), out_im.h(),
                  &blk_exp, &overflow),
        0)
        << kip_fft_dpi_message(fft);
    EXPECT_EQ(out.v[0], 36); // sum of 1..8
    kip_fir_dpi_destroy(fir);
    kip_fft_dpi_destroy(fft);
}

// Null result pointers (possible from C callers) are refused with a message; nothing is written
// through them and the waiting output stays for a later call.
TEST(DpiLayers, NullResultPointersAreRefused)
{
    const char* msg = nullptr;
    Array<double> tap({ 1.0 });
    void* fir = kip_fir_dpi_create_ex("fir", tap.h(), "", &msg);
    ASSERT_NE(fir, nullptr) << msg;
    ASSERT_EQ(kip_fir_dpi_send(fir, -5), 0);
    long long re = 7, im = 7;
    EXPECT_EQ(kip_fir_dpi_get(fir, nullptr), 1);
    EXPECT_TRUE(contains(kip_fir_dpi_message(fir), "Null output pointer for y"));
    EXPECT_EQ(kip_fir_dpi_get_complex(fir, nullptr, &im), 1);
    EXPECT_EQ(im, 0);
    EXPECT_EQ(kip_fir_dpi_get_complex(fir, &re, nullptr), 1);
    EXPECT_EQ(re, 0);
    EXPECT_TRUE(contains(kip_fir_dpi_message(fir), "Null output pointer for im"));
    EXPECT_EQ(kip_fir_dpi_get_wide(fir, nullptr), 1);
    EXPECT_EQ(kip_fir_dpi_get_frame(fir, nullptr), 1);
    EXPECT_EQ(kip_fir_dpi_available(fir), 1);
    EXPECT_EQ(kip_fir_dpi_get(fir, &re), 0);
    EXPECT_EQ(re, -5);
    kip_fir_dpi_destroy(fir);

    void* fft = kip_fft_dpi_create(3, 2, 0, 16, 16, 0, 0, 0, &msg);
    ASSERT_NE(fft, nullptr) << msg;
    Array<long long> x({ 1, 0, 0, 0, 0, 0, 0, 0 });
    Array<long long> yr(std::vector<long long>(8, 7)), yi(std::vector<long long>(8, 7));
    Array<int> sch({});
    int blk_exp = 7, overflow = 7;
    const struct {
        svOpenArrayHandle xr, xi, kr, ki;
        int *be, *ov;
        int code;
        const char* text;
    } cases[] = {
        { nullptr, x.h(), yr.h(), yi.h(), &blk_exp, &overflow, 8, "Null xn_re" },
        { x.h(), nullptr, yr.h(), yi.h(), &blk_exp, &overflow, 11, "Null xn_im" },
        { x.h(), x.h(), nullptr, yi.h(), &blk_exp, &overflow, 20, "Null xk_re" },
        { x.h(), x.h(), yr.h(), nullptr, &blk_exp, &overflow, 21, "Null xk_im" },
        { x.h(), x.h(), yr.h(), yi.h(), nullptr, &overflow, 2, "Null blk_exp" },
        { x.h(), x.h(), yr.h(), yi.h(), &blk_exp, nullptr, 2, "Null overflow" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        yr.v.assign(8, 7);
        yi.v.assign(8, 7);
        blk_exp = overflow = 7;
        EXPECT_EQ(
            kip_fft_dpi_transform(fft, 3, 1, sch.h(), c.xr, c.xi, c.kr, c.ki, c.be, c.ov), c.code);
        EXPECT_TRUE(contains(kip_fft_dpi_message(fft), c.text)) << kip_fft_dpi_message(fft);
        EXPECT_EQ(yr.v[0], c.kr == nullptr ? 7 : 0); // the arrays given are zeroed
        EXPECT_EQ(yi.v[7], c.ki == nullptr ? 7 : 0);
    }
    // A missing schedule is an empty one (this model does not read it).
    EXPECT_EQ(kip_fft_dpi_transform(
                  fft, 3, 1, nullptr, x.h(), x.h(), yr.h(), yi.h(), &blk_exp, &overflow),
        0);
    EXPECT_EQ(yr.v[5], 1);
    kip_fft_dpi_destroy(fft);
}

// kip_fft_dpi_output_width(h, nfft) is 0 exactly for the lengths transform refuses, for every
// architecture, fixed or run-time length, scaled (block floating point) or unscaled; otherwise
// the input width, plus C_NFFT_MAX + 1 bits unscaled (the full growth of the largest frame).
TEST(DpiLayers, OutputWidthIsZeroExactlyForRefusedLengths)
{
    constexpr int kMax = 7, kWidth = 12;
    for (int arch = 1; arch <= 4; ++arch)
        for (int has_nfft = 0; has_nfft <= 1; ++has_nfft)
            for (int scaled = 0; scaled <= 1; ++scaled) {
                const char* msg = nullptr;
                void* h
                    = kip_fft_dpi_create(kMax, arch, has_nfft, kWidth, 16, scaled, scaled, 0, &msg);
                ASSERT_NE(h, nullptr) << msg;
                for (int nfft = -1; nfft <= kMax + 1; ++nfft) {
                    if (!has_nfft && nfft != kMax && nfft != 0)
                        continue; // one ignored length is enough (each warns on stderr)
                    SCOPED_TRACE("C_ARCH " + std::to_string(arch) + " C_HAS_NFFT "
                        + std::to_string(has_nfft) + " scaled " + std::to_string(scaled) + " nfft "
                        + std::to_string(nfft));
                    const int e = has_nfft ? nfft : kMax;
                    const std::size_t n = e >= 0 && e < 20 ? std::size_t { 1 } << e : 1;
                    Array<long long> x(std::vector<long long>(n, 1));
                    Array<long long> yr(std::vector<long long>(n, 0)),
                        yi(std::vector<long long>(n, 0));
                    Array<int> sch({});
                    int blk_exp = 0, overflow = 0;
                    const int rc = kip_fft_dpi_transform(
                        h, nfft, 1, sch.h(), x.h(), x.h(), yr.h(), yi.h(), &blk_exp, &overflow);
                    const int width = kip_fft_dpi_output_width(h, nfft);
                    EXPECT_EQ(width != 0, rc == 0) << kip_fft_dpi_message(h);
                    if (rc == 0) {
                        EXPECT_EQ(width, kWidth + (scaled ? 0 : kMax + 1));
                    }
                }
                kip_fft_dpi_destroy(h);
            }
}

// create_ex reads decimal numbers only: a leading zero or a 0x prefix is refused, not read as
// octal or hexadecimal.
TEST(DpiLayers, SettingsAreDecimalOnly)
{
    Array<double> taps({ 1.0, 2.0, 1.0 });
    const char* msg = nullptr;
    for (const char* bad : { "data_width=010", "data_width=0x10", "data_width=", "data_width=-",
             "data_width=1e1", "data_width=16 coeff_width=08", "data_width=99999999999" }) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(kip_fir_dpi_create_ex("f", taps.h(), bad, &msg), nullptr);
        EXPECT_TRUE(contains(msg, "needs a decimal 32-bit integer")) << msg;
    }
    void* h = kip_fir_dpi_create_ex(
        "f", taps.h(), "data_width=+24,data_fract_width=0 coeff_fract_width=-0", &msg);
    ASSERT_NE(h, nullptr) << msg;
    EXPECT_EQ(kip_fir_dpi_send(h, (1LL << 23) - 1), 0) << kip_fir_dpi_message(h);
    EXPECT_EQ(kip_fir_dpi_send(h, 1LL << 23), 0); // wrapped, with a warning
    EXPECT_TRUE(contains(kip_fir_dpi_message(h), "24 bits")) << kip_fir_dpi_message(h);
    kip_fir_dpi_destroy(h);
}

// The layers apply the model libraries' policies: an empty schedule is the FFT library's default
// one (no overflow even at full scale), an overflow is a warning, FIR words outside the data
// format are wrapped as the model wraps them with one warning per call, and ignored settings are
// noted at creation.
TEST(DpiLayers, LibraryPoliciesApply)
{
    const char* msg = nullptr;
    void* fft = kip_fft_dpi_create(6, 3, 0, 16, 16, 1, 0, 0, &msg);
    ASSERT_NE(fft, nullptr) << msg;
    kelvar_ip_kfft_v8_0_generics g = kelvar_ip_kfft_v8_0_get_default_generics();
    g.C_NFFT_MAX = 6;
    g.C_ARCH = 3;
    std::vector<int> def(
        static_cast<std::size_t>(kelvar_ip_kfft_v8_0_default_schedule(g, 6, nullptr, 0)));
    ASSERT_FALSE(def.empty());
    kelvar_ip_kfft_v8_0_default_schedule(g, 6, def.data(), static_cast<int32_t>(def.size()));
    Array<int> none({}), given(def), zeros(std::vector<int>(def.size(), 0));
    Array<long long> x(std::vector<long long>(64, -32768));
    Array<long long> yr(std::vector<long long>(64, 0)), yi(std::vector<long long>(64, 0));
    Array<long long> zr(std::vector<long long>(64, 0)), zi(std::vector<long long>(64, 0));
    int blk_exp = 0, overflow = 1;
    ASSERT_EQ(kip_fft_dpi_transform(
                  fft, 6, 1, none.h(), x.h(), x.h(), yr.h(), yi.h(), &blk_exp, &overflow),
        0);
    EXPECT_EQ(overflow, 0);
    EXPECT_STREQ(kip_fft_dpi_message(fft), "");
    ASSERT_EQ(kip_fft_dpi_transform(
                  fft, 6, 1, given.h(), x.h(), x.h(), zr.h(), zi.h(), &blk_exp, &overflow),
        0);
    EXPECT_TRUE(yr.v == zr.v && yi.v == zi.v);
    EXPECT_EQ(yr.v[0], -32768 * 64 / 128);
    ASSERT_EQ(kip_fft_dpi_transform(
                  fft, 6, 1, zeros.h(), x.h(), x.h(), zr.h(), zi.h(), &blk_exp, &overflow),
        0);
    EXPECT_EQ(overflow, 1);
    EXPECT_TRUE(contains(kip_fft_dpi_message(fft), "overflowed")) << kip_fft_dpi_message(fft);
    kip_fft_dpi_destroy(fft);

    Array<double> taps({ 1.0, 2.0, 1.0 });
    void* a = kip_fir_dpi_create_ex("a", taps.h(), "data_width=16", &msg);
    void* b = kip_fir_dpi_create_ex("b", taps.h(), "data_width=16", &msg);
    ASSERT_TRUE(a != nullptr && b != nullptr) << msg;
    // 2^62 + 5 has no double of its own: it is wrapped as a whole word, to 5.
    Array<long long> words({ 5, 40000, -7, -40001, (1LL << 62) + 5, 32767 });
    Array<long long> wrapped({ 5, 40000 - 65536, -7, -40001 + 65536, 5, 32767 });
    EXPECT_EQ(kip_fir_dpi_send_frame(a, words.h()), 0);
    EXPECT_TRUE(contains(kip_fir_dpi_message(a), "3 input samples outside the data format")
        && contains(kip_fir_dpi_message(a), "index 1"))
        << kip_fir_dpi_message(a);
    EXPECT_EQ(kip_fir_dpi_send_frame(b, wrapped.h()), 0);
    EXPECT_STREQ(kip_fir_dpi_message(b), "");
    EXPECT_EQ(kip_fir_dpi_send(a, -32769), 0);
    EXPECT_TRUE(contains(kip_fir_dpi_message(a), "index 0"))
        << "[" << kip_fir_dpi_message(a) << "]";
    EXPECT_EQ(kip_fir_dpi_send(b, 32767), 0);
    Array<long long> out_a(std::vector<long long>(7, 0)), out_b(std::vector<long long>(7, 0));
    ASSERT_EQ(kip_fir_dpi_get_frame(a, out_a.h()), 0) << kip_fir_dpi_message(a);
    ASSERT_EQ(kip_fir_dpi_get_frame(b, out_b.h()), 0) << kip_fir_dpi_message(b);
    EXPECT_EQ(out_a.v, out_b.v);
    kip_fir_dpi_destroy(a);
    kip_fir_dpi_destroy(b);

    void* r = kip_fir_dpi_create_ex("r", taps.h(), "decim_rate=4", &msg);
    ASSERT_NE(r, nullptr) << msg;
    EXPECT_TRUE(contains(msg, "decim_rate")) << msg;
    EXPECT_STREQ(kip_fir_dpi_message(r), msg);
    kip_fir_dpi_destroy(r);
    EXPECT_EQ(kip_fir_dpi_create_ex("r", taps.h(), "decim_rat=4", &msg), nullptr);
    EXPECT_TRUE(contains(msg, "decim_rat")) << msg;
}

} // namespace
