// Seed of every randomised C++ test: KIP_TEST_SEED when set, else one fixed default. A failing
// test prints the seed it ran with, so that the run can be repeated.
#ifndef KIP_TESTS_KIP_TEST_SEED_H
#define KIP_TESTS_KIP_TEST_SEED_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kip_test {

constexpr uint32_t kDefaultSeed = 20240611u;

// KIP_TEST_SEED is a decimal number from 0 to 4294967295, so that every random engine (32 or
// 64 bits) takes the same value. Anything else stops the test program with a message rather
// than running with some other seed.
inline uint32_t seed()
{
    static const uint32_t value = [] {
        const char* s = std::getenv("KIP_TEST_SEED");
        if (s == nullptr || *s == '\0')
            return kDefaultSeed;
        uint64_t v = 0;
        for (const char* p = s; *p != '\0'; ++p) {
            if (*p < '0' || *p > '9'
                || (v = v * 10 + static_cast<uint64_t>(*p - '0')) > UINT32_MAX) {
                std::fprintf(stderr,
                    "KIP_TEST_SEED=%s: expected a decimal number from 0 to 4294967295\n", s);
                std::exit(2);
            }
        }
        return static_cast<uint32_t>(v);
    }();
    return value;
}

// Prints the seed after every failed test.
class SeedPrinter : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo& info) override
    {
        if (info.result() != nullptr && info.result()->Failed())
            std::printf("[   SEED   ] %s.%s ran with KIP_TEST_SEED=%u\n", info.test_suite_name(),
                info.name(), seed());
    }
};

inline const bool kSeedPrinterInstalled = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new SeedPrinter);
    return true;
}();

} // namespace kip_test

#endif // KIP_TESTS_KIP_TEST_SEED_H
