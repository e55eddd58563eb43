// libFuzzer target for kip-golden's readers: the JSON configuration of both models (through the
// setup the tool runs on it), hex and decimal word files, .npy files and coefficient files.
// Input: one byte choosing the reader, one byte the word width, then the file's bytes. Every
// refusal must be an InputError; any other exception, a word outside its width, or a word that
// does not read back from its own formatting is a finding.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "golden.h"

namespace {

void check_words(golden::ByteSource& src, golden::Radix radix, int width, bool npy)
{
    golden::WordReader in(src, radix, width, npy);
    const int64_t lo = width >= 64 ? INT64_MIN : -(int64_t(1) << (width - 1));
    const int64_t hi = width >= 64 ? INT64_MAX : (int64_t(1) << (width - 1)) - 1;
    int64_t v;
    std::size_t n = 0;
    while (in.next(v)) {
        CHECK(v >= lo && v <= hi);
        for (golden::Radix r : { golden::Radix::hex, golden::Radix::dec }) {
            int64_t back = 0;
            std::string why;
            CHECK(golden::parse_word(golden::format_word(v, r, width), r, width, back, why));
            CHECK(back == v);
        }
        ++n;
    }
    CHECK(in.count() == n);
    CHECK(in.total() < 0 || std::size_t(in.total()) == n);
}

void check_fir(const std::string& text)
{
    const golden::ConfigKeys keys("cfg.json", golden::parse_json_config("cfg.json", text));
    golden::FirSetup s;
    golden::fir_setup(
        keys,
        [](const std::string&) {
            return std::vector<double> { 0.5, -0.25, 1.0 };
        },
        s);
    CHECK(s.cfg.name == s.name.c_str());
    if (!s.coeff.empty()) {
        CHECK(s.cfg.coeff == s.coeff.data());
        CHECK(int64_t(s.cfg.num_coeffs) * s.cfg.coeff_sets == int64_t(s.coeff.size()));
        for (double c : s.coeff)
            CHECK(std::isfinite(c));
    }
}

void check_fft(const std::string& text)
{
    const golden::ConfigKeys keys("fft.json", golden::parse_json_config("fft.json", text));
    golden::FftSetup s;
    golden::fft_generics(keys, s);
    // The frame inputs are read only for generics the model accepts.
    if (kelvar_ip_kfft_v8_0_generics_check(s.g, nullptr, 0) != 0)
        return;
    golden::fft_frame_inputs(keys, s);
    CHECK(s.nfft >= 3 && s.nfft <= s.g.C_NFFT_MAX);
    CHECK(kelvar_ip_kfft_v8_0_frame_length(s.g, s.nfft) > 0);
    CHECK(s.sched.size() == std::size_t(kelvar_ip_kfft_v8_0_stage_count(s.g, s.nfft)));
    CHECK(s.direction == 0 || s.direction == 1);
    for (int32_t x : s.sched)
        CHECK(x >= 0 && x <= 3);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    const unsigned mode = data[0] % 6;
    const int width = 1 + data[1] % 64;
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);
    golden::ByteSource src("in", text.data(), text.size());
    try {
        switch (mode) {
        case 0:
            check_fir(text);
            break;
        case 1:
            check_fft(text);
            break;
        case 2:
            check_words(src, golden::Radix::hex, width, false);
            break;
        case 3:
            check_words(src, golden::Radix::dec, width, false);
            break;
        case 4:
            check_words(src, golden::Radix::hex, width, true);
            break;
        default:
            for (double c : golden::read_coeff_values(src))
                CHECK(std::isfinite(c));
            break;
        }
    } catch (const golden::InputError&) {
    }
    return 0;
}
