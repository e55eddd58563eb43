// The per-thread message sink: lines reach the installed callback instead of stderr, per
// thread, nested guards restore their predecessor, and concurrent states keep their messages.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kfft_test_util.h"
#include "message_sink.h"

using namespace kfft_test;

namespace {

using Lines = std::vector<std::pair<int, std::string>>;

void collect(void* ctx, int is_error, const char* line)
{
    static_cast<Lines*>(ctx)->emplace_back(is_error, line);
}

const std::string kRefusedNfft
    = "ERROR:kfft_v8_0:create_state called with invalid C_NFFT_MAX generic: must be in the range 3 "
      "to 16: Value is 17";

TEST(MessageSink, TakesErrorsAndWarningsInsteadOfStderr)
{
    Lines lines;
    kelvar_ip_kfft_v8_0_generics bad = kelvar_ip_kfft_v8_0_get_default_generics();
    bad.C_NFFT_MAX = 17;
    State st(make_generics(2, 4, 1));
    Frame f(4, 2);
    f.re[3] = 0.5 + 1.0 / 65536; // off the 16-bit grid: one warning
    int rc = -1;
    const std::string err = capture_stderr([&] {
        kfft::ScopedMessageSink guard(collect, &lines);
        EXPECT_EQ(kelvar_ip_kfft_v8_0_create_state(bad), nullptr);
        rc = f.simulate(st.get());
        EXPECT_EQ(kelvar_ip_kfft_v8_0_bitacc_simulate(nullptr, &f.in, &f.out), 1);
    });
    EXPECT_EQ(err, "");
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], std::make_pair(1, kRefusedNfft));
    EXPECT_EQ(lines[1].first, 0);
    EXPECT_EQ(lines[1].second.rfind("WARNING:kfft_v8_0:simulate called with real and/or imaginary "
                                    "data values that are not pre-quantized",
                  0),
        0u);
    EXPECT_EQ(lines[2],
        std::make_pair(1,
            std::string("ERROR:kfft_v8_0:simulate called with null state "
                        "structure")));
}

TEST(MessageSink, NestedGuardsRestoreTheirPredecessorThenStderr)
{
    kelvar_ip_kfft_v8_0_generics bad = kelvar_ip_kfft_v8_0_get_default_generics();
    bad.C_NFFT_MAX = 17;
    Lines outer, inner;
    std::string err = capture_stderr([&] {
        kfft::ScopedMessageSink a(collect, &outer);
        kelvar_ip_kfft_v8_0_create_state(bad);
        {
            kfft::ScopedMessageSink b(collect, &inner);
            kelvar_ip_kfft_v8_0_create_state(bad);
            {
                kfft::ScopedMessageSink c(nullptr, nullptr); // back to stderr
                kelvar_ip_kfft_v8_0_create_state(bad);
            }
        }
        kelvar_ip_kfft_v8_0_create_state(bad);
    });
    EXPECT_EQ(outer.size(), 2u);
    EXPECT_EQ(inner.size(), 1u);
    EXPECT_EQ(err, kRefusedNfft + "\n");
    err = capture_stderr([&] { kelvar_ip_kfft_v8_0_create_state(bad); });
    EXPECT_EQ(err, kRefusedNfft + "\n");
}

// Threads alternate refused and accepted frames on states of their own, each with its own sink:
// every thread receives exactly its own lines, none reach stderr, and a thread without a guard
// still writes to stderr meanwhile.
TEST(MessageSink, ConcurrentThreadsKeepTheirOwnLines)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::vector<Lines> lines(kThreads);
    std::vector<int> failures(kThreads, 0);
    std::atomic<int> wrong_codes { 0 };
    const std::string err = capture_stderr([&] {
        std::vector<std::thread> pool;
        for (int t = 0; t < kThreads; ++t) {
            pool.emplace_back([&, t] {
                State st(make_generics(2, 3 + t, 1));
                Frame good(3 + t, 2);
                Frame bad(3 + t, 2);
                bad.in.direction = 2 + t; // refused with code 19, naming this thread's value
                kfft::ScopedMessageSink guard(collect, &lines[t]);
                for (int r = 0; r < kRounds; ++r) {
                    if (good.simulate(st.get()) != 0)
                        ++wrong_codes;
                    if (bad.simulate(st.get()) != 19)
                        ++wrong_codes;
                    ++failures[t];
                }
            });
        }
        kelvar_ip_kfft_v8_0_bitacc_simulate(nullptr, nullptr, nullptr); // unguarded thread
        for (auto& th : pool)
            th.join();
    });
    EXPECT_EQ(wrong_codes.load(), 0);
    EXPECT_EQ(err, "ERROR:kfft_v8_0:simulate called with null state structure\n");
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(lines[t].size(), static_cast<size_t>(failures[t])) << "thread " << t;
        const std::string want = "ERROR:kfft_v8_0:simulate called with invalid direction input "
            + std::to_string(2 + t) + ": must be 0 or 1";
        for (const auto& l : lines[t])
            ASSERT_EQ(l, std::make_pair(1, want)) << "thread " << t;
    }
}

} // namespace
