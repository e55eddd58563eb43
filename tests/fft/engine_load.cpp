// Whole-frame loading of samples on the input grid, each implementation forced in turn, against
// samples loaded one by one: whether the frame counts as plain (every sample an integer of the
// input grid inside the memory word), and for plain frames every memory word and the input
// headroom.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "fft_engine_harness.h"
#include "kfft_loop_levels.h"

namespace {

using fft_test::Frame;

struct Case {
    int arch, M, iw, scaling, bfp;
};

const Case kCases[] = {
    { 1, 8, 16, 1, 0 },
    { 1, 9, 16, 1, 1 },
    { 1, 7, 12, 0, 0 },
    { 1, 8, 29, 1, 1 },
    { 2, 6, 16, 1, 1 },
    { 2, 7, 24, 0, 0 },
    { 2, 5, 8, 1, 0 },
    { 3, 6, 16, 1, 1 },
    { 3, 7, 16, 0, 0 },
    { 3, 5, 18, 1, 0 },
};

// A frame on the input grid with magnitudes of a random class (quiet, around each headroom
// boundary, full scale), then with one sample moved off the grid or out of range on request.
Frame load_frame(int n, int iw, int kind, double limit, std::mt19937_64& rng)
{
    const double q = std::ldexp(1.0, 1 - iw);
    Frame f = fft_test::random_frame(n, iw, std::ldexp(1.0, -static_cast<int>(rng() % 5)), rng);
    // Headroom boundaries 2^-(h+1), exactly and one code either side, both signs.
    const int h = static_cast<int>(rng() % 4);
    const double edge = std::ldexp(1.0, -(h + 1)) + q * (static_cast<int>(rng() % 3) - 1);
    (rng() & 1 ? f.re : f.im)[rng() % n] = rng() & 1 ? edge : -edge;
    std::vector<double>& part = rng() & 1 ? f.re : f.im;
    const size_t i = rng() % 3 == 0 ? n - 1 : rng() % n;
    switch (kind) {
    case 1: // extremes of the grid
        part[i] = -1.0;
        part[(i + 1) % n] = 1.0 - q;
        break;
    case 2: // off the grid
        part[i] += q / 2;
        break;
    case 3: { // at the ends of the word (which holds more than [-1, 1) when unscaled)
        const double ends[] = { limit, limit - q, -limit, -limit - q, 4096.0 };
        part[i] = ends[rng() % 5];
        break;
    }
    case 4:
        part[i] = std::numeric_limits<double>::quiet_NaN();
        break;
    default:
        break;
    }
    return f;
}

template <class Engine> void check_loads(const Case& c, std::mt19937_64& rng)
{
    const auto g = fft_test::generics(c.M, c.arch, c.iw, 16, c.scaling, c.bfp, 0);
    FFT_CONFIG cfg = derive_fft_config(g);
    const double grid = std::ldexp(1.0, cfg.input_width - 1);
    Engine single(cfg), portable(cfg), wide(cfg), widest(cfg);
    portable.force_path(FFT::Path::Float);
    wide.force_path(FFT::Path::FloatAvx2);
    widest.force_path(FFT::Path::FloatAvx512);
    std::vector<Engine*> paths { &portable };
    for (kfft::Path level : kfft_test::loop_levels())
        if (level != kfft::Path::Float)
            paths.push_back(level == kfft::Path::FloatAvx2 ? &wide : &widest);
    const int min_nfft = c.arch == 1 ? 6 : 3;
    for (int frame = 0; frame < 40; ++frame) {
        const int nfft = min_nfft + static_cast<int>(rng() % (c.M - min_nfft + 1));
        const int n = 1 << nfft;
        ASSERT_TRUE(set_frame_geometry(cfg, nfft));
        ASSERT_TRUE(single.set_frame(cfg));
        // The first power of two that no longer fits the word.
        double limit = 1.0;
        while (limit < 1e6) {
            ASSERT_TRUE(single.load_input(0, limit, 0.0));
            if (static_cast<double>(single.word(single.input_position(0)).re) != limit * grid)
                break;
            limit *= 2.0;
        }
        const Frame f = load_frame(n, c.iw, frame % 5, limit, rng);
        ASSERT_TRUE(single.set_frame(cfg)); // the headroom starts again
        // Plain when every sample went into its word unchanged.
        bool plain = true;
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(single.load_input(i, f.re[i], f.im[i]));
            const kfft_raw::CRaw w = single.word(single.input_position(i));
            plain = plain && static_cast<double>(w.re) == f.re[i] * grid
                && static_cast<double>(w.im) == f.im[i] * grid;
        }
        for (Engine* e : paths) {
            ASSERT_TRUE(e->set_frame(cfg));
            ASSERT_EQ(e->load_frame_if_plain(f.re.data(), f.im.data()), plain)
                << "arch " << c.arch << " frame " << frame;
            if (!plain)
                continue;
            for (int p = 0; p < n; ++p) {
                ASSERT_EQ(e->word(p).re, single.word(p).re) << "position " << p;
                ASSERT_EQ(e->word(p).im, single.word(p).im) << "position " << p;
            }
            ASSERT_EQ(e->input_headroom(), single.input_headroom()) << "frame " << frame;
        }
    }
}

TEST(EngineLoad, WholeFrameLoadMatchesSampleLoads)
{
    std::mt19937_64 rng(kip_test::seed() + 17);
    for (const Case& c : kCases) {
        if (c.arch == 1)
            check_loads<R4_loop>(c, rng);
        else if (c.arch == 2)
            check_loads<R2_loop>(c, rng);
        else
            check_loads<R22_pipeline>(c, rng);
        if (HasFatalFailure())
            return;
    }
}

} // namespace
