// Decoding of fuzzer bytes into hostile but structured values: every value is drawn from the
// natural one, a palette of edge cases or raw bits, so that short inputs reach deep calls.
#ifndef KIP_FUZZ_INPUT_H
#define KIP_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <limits>

// Stops the target with the failed invariant, so libFuzzer records the input as a finding.
[[noreturn]] inline void broken(const char* what, const char* file, int line)
{
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    std::abort();
}
#define CHECK(c)                                                                                   \
    do {                                                                                           \
        if (!(c))                                                                                  \
            broken(#c, __FILE__, __LINE__);                                                        \
    } while (0)

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, std::size_t size)
        : p_(data)
        , n_(size)
    {
    }

    bool empty() const { return n_ == 0; }

    // Exhausted input reads as zeros, which always selects the natural value.
    uint8_t byte()
    {
        if (n_ == 0)
            return 0;
        --n_;
        return *p_++;
    }
    uint32_t u32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = (v << 8) | byte();
        return v;
    }
    uint64_t u64() { return (static_cast<uint64_t>(u32()) << 32) | u32(); }
    bool flag() { return (byte() & 1) != 0; }
    // 0 .. n-1.
    unsigned below(unsigned n) { return n == 0 ? 0 : byte() % n; }

    // The natural value most of the time, else one of the palette, else raw bits.
    int32_t int_field(int32_t natural, std::initializer_list<int32_t> palette)
    {
        const uint8_t b = byte();
        if (b < 112)
            return natural;
        if (b < 240)
            return palette.begin()[b % palette.size()];
        return static_cast<int32_t>(u32());
    }

    // A length: the natural one, a neighbour, zero, or a value beyond 32 or 64 bits.
    std::size_t length(std::size_t natural)
    {
        switch (byte() % 16) {
        case 0:
            return natural + 1;
        case 1:
            return natural > 0 ? natural - 1 : 0;
        case 2:
            return 0;
        case 3:
            return 1;
        case 4:
            return (std::size_t(1) << 32) + natural;
        case 5:
            return std::numeric_limits<std::size_t>::max();
        case 6:
            return u32() % 70;
        default:
            return natural;
        }
    }

    // A sample: small integers and fractions mostly, with every kind of hostile double.
    double sample()
    {
        const uint8_t b = byte();
        if (b < 128)
            return static_cast<double>(static_cast<int>(b) - 64);
        if (b < 160)
            return (static_cast<int>(b) - 144) / 16.0;
        switch (b % 24) {
        case 0:
            return std::numeric_limits<double>::quiet_NaN();
        case 1:
            return std::numeric_limits<double>::infinity();
        case 2:
            return -std::numeric_limits<double>::infinity();
        case 3:
            return 1e300;
        case 4:
            return -1e308;
        case 5:
            return 1e308;
        case 6:
            return std::numeric_limits<double>::denorm_min();
        case 7:
            return -0.0;
        case 8:
            return 4503599627370496.5; // 2^52 + 0.5 is not a double: rounds
        case 9:
            return 9007199254740993.0;
        case 10:
            return 32767.0;
        case 11:
            return -32768.0;
        case 12:
            return 1099511627776.0; // 2^40
        case 13:
            return 0.49999999999;
        case 14:
            return -2.5;
        case 15:
            return 1e-300;
        default: {
            const uint64_t bits = u64();
            double d;
            std::memcpy(&d, &bits, sizeof d);
            return d;
        }
        }
    }

private:
    const uint8_t* p_;
    std::size_t n_;
};

#endif // KIP_FUZZ_INPUT_H
