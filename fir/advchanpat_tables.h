// Channel pattern tables for the advanced channel sequence, computed at compile time.
//
// The tables are computed from the rate lists below: a recursive slot placement gives each
// pattern's slot order (seq), seven patterns take a fixed slot order instead, and the slot map
// is derived from seq. The exported arrays (defined with the other exports in
// tapforge_v6_3_bitacc_cmodel.cpp, the one file that includes this header) are
// constant-initialised from that result, so they sit in read-only data and no code runs at
// load time.
#ifndef KIP_FIR_ADVCHANPAT_TABLES_H
#define KIP_FIR_ADVCHANPAT_TABLES_H

#include "advchanpat.h"

namespace kip_fir_pattern_tables {

constexpr int kPatterns = KIP_FIR_V6_3_PATTERN_COUNT;
constexpr int kSlots = KIP_FIR_V6_3_PATTERN_MAX_SLOTS;
constexpr int kItems = KIP_FIR_V6_3_PATTERN_MAP_ITEMS;

// One pattern's channels: `count` channels of rate `rate` per group, groups by falling rate.
struct Group {
    int rate;
    int count;
};
struct RateList {
    Group groups[3];
};

// Rate lists in pattern-number order for each base frame length.
constexpr RateList kLists4[] = {
    { { { 4, 1 } } },
    { { { 2, 2 } } },
    { { { 3, 1 }, { 1, 1 } } },
    { { { 2, 1 }, { 1, 2 } } },
    { { { 1, 4 } } },
};

constexpr RateList kLists6[] = {
    { { { 6, 1 } } },
    { { { 3, 2 } } },
    { { { 4, 1 }, { 2, 1 } } },
    { { { 2, 3 } } },
    { { { 4, 1 }, { 1, 2 } } },
    { { { 3, 1 }, { 1, 3 } } },
    { { { 2, 2 }, { 1, 2 } } },
    { { { 2, 1 }, { 1, 4 } } },
    { { { 1, 6 } } },
};

constexpr RateList kLists8[] = {
    { { { 8, 1 } } },
    { { { 6, 1 }, { 2, 1 } } },
    { { { 4, 2 } } },
    { { { 6, 1 }, { 1, 2 } } },
    { { { 4, 1 }, { 2, 2 } } },
    { { { 2, 4 } } },
    { { { 4, 1 }, { 2, 1 }, { 1, 2 } } },
    { { { 3, 2 }, { 1, 2 } } },
    { { { 4, 1 }, { 1, 4 } } },
    { { { 2, 3 }, { 1, 2 } } },
    { { { 2, 2 }, { 1, 4 } } },
    { { { 2, 1 }, { 1, 6 } } },
    { { { 1, 8 } } },
};

// Also the lists of N = 24 and N = 48, with channel counts doubled or quadrupled.
constexpr RateList kLists12[] = {
    { { { 12, 1 } } },
    { { { 6, 2 } } },
    { { { 8, 1 }, { 4, 1 } } },
    { { { 9, 1 }, { 3, 1 } } },
    { { { 8, 1 }, { 2, 2 } } },
    { { { 6, 1 }, { 3, 2 } } },
    { { { 4, 3 } } },
    { { { 6, 1 }, { 2, 3 } } },
    { { { 4, 2 }, { 2, 2 } } },
    { { { 3, 4 } } },
    { { { 8, 1 }, { 1, 4 } } },
    { { { 6, 1 }, { 2, 2 }, { 1, 2 } } },
    { { { 4, 2 }, { 2, 1 }, { 1, 2 } } },
    { { { 4, 1 }, { 2, 4 } } },
    { { { 4, 2 }, { 1, 4 } } },
    { { { 3, 3 }, { 1, 3 } } },
    { { { 4, 1 }, { 2, 3 }, { 1, 2 } } },
    { { { 2, 6 } } },
    { { { 6, 1 }, { 1, 6 } } },
    { { { 4, 1 }, { 2, 2 }, { 1, 4 } } },
    { { { 2, 5 }, { 1, 2 } } },
    { { { 4, 1 }, { 2, 1 }, { 1, 6 } } },
    { { { 3, 2 }, { 1, 6 } } },
    { { { 2, 4 }, { 1, 4 } } },
    { { { 2, 3 }, { 1, 6 } } },
    { { { 2, 2 }, { 1, 8 } } },
    { { { 1, 12 } } },
};

// Also the lists of N = 32 and N = 64, with channel counts doubled or quadrupled.
constexpr RateList kLists16[] = {
    { { { 16, 1 } } },
    { { { 12, 1 }, { 4, 1 } } },
    { { { 8, 2 } } },
    { { { 12, 1 }, { 2, 2 } } },
    { { { 8, 1 }, { 4, 2 } } },
    { { { 4, 4 } } },
    { { { 8, 1 }, { 4, 1 }, { 2, 2 } } },
    { { { 6, 2 }, { 2, 2 } } },
    { { { 8, 1 }, { 2, 4 } } },
    { { { 4, 3 }, { 2, 2 } } },
    { { { 4, 2 }, { 2, 4 } } },
    { { { 4, 1 }, { 2, 6 } } },
    { { { 2, 8 } } },
    { { { 6, 2 }, { 1, 4 } } },
    { { { 4, 2 }, { 2, 4 } } },
    { { { 4, 2 }, { 2, 2 }, { 1, 4 } } },
    { { { 3, 4 }, { 1, 4 } } },
    { { { 4, 2 }, { 1, 8 } } },
    { { { 2, 6 }, { 1, 4 } } },
    { { { 2, 4 }, { 1, 8 } } },
    { { { 2, 2 }, { 1, 12 } } },
    { { { 1, 16 } } },
};

// Frame lengths in pattern-number order; patterns are numbered consecutively through them.
struct Frame {
    int n;
    const RateList* lists;
    int list_count;
    int count_scale;
};
constexpr Frame kFrames[] = {
    { 4, kLists4, 5, 1 },
    { 6, kLists6, 9, 1 },
    { 8, kLists8, 13, 1 },
    { 12, kLists12, 27, 1 },
    { 16, kLists16, 22, 1 },
    { 24, kLists12, 27, 2 },
    { 32, kLists16, 22, 2 },
    { 48, kLists12, 27, 4 },
    { 64, kLists16, 22, 4 },
};

// Patterns whose slot order is fixed rather than placed.
constexpr int kFixed43[] = { 0, 1, 3, 0, 2, 4, 0, 1, 3, 0, 2, 5 };
constexpr int kFixed49[] = { 0, 1, 2, 3, 0, 1, 4, 5, 0, 1, 6, 7 };
constexpr int kFixed51[] = { 0, 1, 2, 3, 4, 5, 0, 1, 2, 6, 7, 8 };
constexpr int kFixed52[] = { 0, 1, 2, 3, 4, 5, 0, 1, 6, 7, 8, 9 };
constexpr int kFixed72[] = { 0, 1, 2, 6, 3, 4, 5, 7, 0, 1, 2, 8, 3, 4, 5, 9 };
constexpr int kFixed119[] = {
    0, 1, 2, 6, 3, 4, 5, 7, 0, 1, 2, 6, 3, 4, 5, 7, //
    0, 1, 2, 6, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 15, //
};
constexpr int kFixed137[] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0, 1, 2, 3, 4, 5, 6, 7, 12, 13, 14, 15, //
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, //
};

struct Fixed {
    int pattern;
    const int* seq;
    int n;
};
constexpr Fixed kFixed[] = {
    { 43, kFixed43, 12 },
    { 49, kFixed49, 12 },
    { 51, kFixed51, 12 },
    { 52, kFixed52, 12 },
    { 72, kFixed72, 16 },
    { 119, kFixed119, 32 },
    { 137, kFixed137, 48 },
};

struct Tables {
    int32_t min[kSlots + 1];
    int32_t max[kSlots + 1];
    int32_t seq[kPatterns][kSlots];
    int32_t map[kPatterns][kSlots][kItems];
};

// Places the channels of one rate list (rate[c] for channels 0 to channels - 1, rates not
// increasing) onto the slots 0 to n - 1 of `seq`.
//
// Each step takes the k leading channels of the highest remaining rate r. When the free slots
// split into r equal periods of P slots, each of them takes one position per period (evenly
// spaced when P is a multiple of k, else the first k positions) and the rest of the slots go on
// to the next step; otherwise they take the first k * r free slots round robin. Channels that
// all share one rate take the free slots round robin.
constexpr void place(int32_t* seq, int n, const int* rate, int channels)
{
    int free_slots[kSlots] {};
    int nfree = n;
    for (int i = 0; i < n; ++i)
        free_slots[i] = i;

    int first = 0;
    while (first < channels) {
        const int r = rate[first];
        int k = 0;
        while (first + k < channels && rate[first + k] == r)
            ++k;
        if (first + k == channels) {
            for (int i = 0; i < nfree; ++i)
                seq[free_slots[i]] = first + i % k;
            return;
        }

        int rest[kSlots] {};
        int nrest = 0;
        if (nfree % r == 0) {
            const int period = nfree / r;
            bool taken[kSlots] {};
            for (int j = 0; j < k; ++j)
                taken[period % k == 0 ? j * (period / k) : j] = true;
            for (int t = 0; t < r; ++t) {
                int j = 0;
                for (int pos = 0; pos < period; ++pos) {
                    const int slot = free_slots[t * period + pos];
                    if (taken[pos])
                        seq[slot] = first + j++;
                    else
                        rest[nrest++] = slot;
                }
            }
        } else {
            for (int i = 0; i < k * r; ++i)
                seq[free_slots[i]] = first + i % k;
            for (int i = k * r; i < nfree; ++i)
                rest[nrest++] = free_slots[i];
        }
        for (int i = 0; i < nrest; ++i)
            free_slots[i] = rest[i];
        nfree = nrest;
        first += k;
    }
}

// Map rows of one pattern from its seq row. The row buffer is shared by the channels of the
// pattern, so items past a channel's own slots keep what an earlier channel wrote there.
constexpr void derive_map(int32_t (&map)[kSlots][kItems], const int32_t (&seq)[kSlots])
{
    int32_t buffer[kItems] {};
    for (int i = 0; i < kItems; ++i)
        buffer[i] = -1;
    for (int c = 0; c < kSlots; ++c) {
        int count = 0;
        for (int s = 0; s < kSlots; ++s) {
            if (seq[s] == c) {
                ++count;
                buffer[count] = s;
            }
        }
        for (int i = 0; i < kItems; ++i)
            map[c][i] = -1;
        if (count == 0)
            continue;
        buffer[0] = count;
        for (int i = 0; i < kItems; ++i)
            map[c][i] = buffer[i];
    }
}

constexpr Tables build_tables()
{
    Tables t {};
    for (int n = 0; n <= kSlots; ++n) {
        t.min[n] = -1;
        t.max[n] = -1;
    }

    int pattern = 0;
    for (const Frame& frame : kFrames) {
        t.min[frame.n] = pattern;
        for (int l = 0; l < frame.list_count; ++l, ++pattern) {
            int rate[kSlots] {};
            int channels = 0;
            for (const Group& g : frame.lists[l].groups)
                for (int i = 0; i < g.count * frame.count_scale; ++i)
                    rate[channels++] = g.rate;

            for (int s = 0; s < kSlots; ++s)
                t.seq[pattern][s] = -1;
            place(t.seq[pattern], frame.n, rate, channels);
        }
        t.max[frame.n] = pattern - 1;
    }

    for (const Fixed& f : kFixed)
        for (int s = 0; s < f.n; ++s)
            t.seq[f.pattern][s] = f.seq[s];

    for (int p = 0; p < kPatterns; ++p)
        derive_map(t.map[p], t.seq[p]);
    return t;
}

constexpr Tables kTables = build_tables();

// Compile-time checks: every frame length's rate lists fill it, and in every pattern each slot
// of the frame has exactly one channel whose map row lists it.
constexpr bool rate_lists_fill_frames()
{
    for (const Frame& frame : kFrames) {
        for (int l = 0; l < frame.list_count; ++l) {
            int sum = 0;
            for (const Group& g : frame.lists[l].groups)
                sum += g.rate * g.count * frame.count_scale;
            if (sum != frame.n)
                return false;
        }
    }
    return true;
}

constexpr bool maps_cover_frames()
{
    for (int p = 0; p < kPatterns; ++p) {
        int n = 0;
        while (n < kSlots && kTables.seq[p][n] >= 0)
            ++n;
        int owners[kSlots] {};
        for (int c = 0; c < kSlots; ++c) {
            const int32_t* row = kTables.map[p][c];
            if (row[0] < 0)
                continue;
            for (int i = 1; i <= row[0]; ++i) {
                if (row[i] < 0 || row[i] >= n || kTables.seq[p][row[i]] != c)
                    return false;
                ++owners[row[i]];
            }
        }
        for (int s = 0; s < n; ++s)
            if (owners[s] != 1)
                return false;
    }
    return true;
}

static_assert(rate_lists_fill_frames(), "a rate list does not fill its frame");
static_assert(kTables.max[64] == kPatterns - 1, "pattern numbering does not reach the last row");
static_assert(maps_cover_frames(), "a slot map does not cover its frame exactly once");

} // namespace kip_fir_pattern_tables

// Initialiser lists that copy kTables element by element, so the exported arrays are
// constant-initialised read-only data with their declared C types.
// clang-format off
#define KIP_REP8(m, x, b)                                                                       \
    m(x, (b) + 0) m(x, (b) + 1) m(x, (b) + 2) m(x, (b) + 3) m(x, (b) + 4) m(x, (b) + 5)          \
        m(x, (b) + 6) m(x, (b) + 7)
#define KIP_REP64(m, x)                                                                         \
    KIP_REP8(m, x, 0) KIP_REP8(m, x, 8) KIP_REP8(m, x, 16) KIP_REP8(m, x, 24)                    \
        KIP_REP8(m, x, 32) KIP_REP8(m, x, 40) KIP_REP8(m, x, 48) KIP_REP8(m, x, 56)
#define KIP_PAT6(m, b) m((b) + 0) m((b) + 1) m((b) + 2) m((b) + 3) m((b) + 4) m((b) + 5)
#define KIP_ALL_PATTERNS(m)                                                                     \
    KIP_PAT6(m, 0) KIP_PAT6(m, 6) KIP_PAT6(m, 12) KIP_PAT6(m, 18) KIP_PAT6(m, 24)                \
    KIP_PAT6(m, 30) KIP_PAT6(m, 36) KIP_PAT6(m, 42) KIP_PAT6(m, 48) KIP_PAT6(m, 54)              \
    KIP_PAT6(m, 60) KIP_PAT6(m, 66) KIP_PAT6(m, 72) KIP_PAT6(m, 78) KIP_PAT6(m, 84)              \
    KIP_PAT6(m, 90) KIP_PAT6(m, 96) KIP_PAT6(m, 102) KIP_PAT6(m, 108) KIP_PAT6(m, 114)           \
    KIP_PAT6(m, 120) KIP_PAT6(m, 126) KIP_PAT6(m, 132) KIP_PAT6(m, 138) KIP_PAT6(m, 144)         \
    KIP_PAT6(m, 150) KIP_PAT6(m, 156) KIP_PAT6(m, 162) KIP_PAT6(m, 168)
// clang-format on

#define KIP_MIN_ITEM(x, n) kip_fir_pattern_tables::kTables.min[n],
#define KIP_MAX_ITEM(x, n) kip_fir_pattern_tables::kTables.max[n],
#define KIP_SEQ_ITEM(p, s) kip_fir_pattern_tables::kTables.seq[p][s],
#define KIP_SEQ_ROW(p) { KIP_REP64(KIP_SEQ_ITEM, p) },
#define KIP_MAP_ITEM(p, c, i) kip_fir_pattern_tables::kTables.map[p][c][i]
#define KIP_MAP_CHANNEL(p, c)                                                                      \
    { KIP_MAP_ITEM(p, c, 0), KIP_MAP_ITEM(p, c, 1), KIP_MAP_ITEM(p, c, 2), KIP_MAP_ITEM(p, c, 3),  \
        KIP_MAP_ITEM(p, c, 4), KIP_MAP_ITEM(p, c, 5), KIP_MAP_ITEM(p, c, 6),                       \
        KIP_MAP_ITEM(p, c, 7), KIP_MAP_ITEM(p, c, 8), KIP_MAP_ITEM(p, c, 9),                       \
        KIP_MAP_ITEM(p, c, 10), KIP_MAP_ITEM(p, c, 11), KIP_MAP_ITEM(p, c, 12),                    \
        KIP_MAP_ITEM(p, c, 13), KIP_MAP_ITEM(p, c, 14), KIP_MAP_ITEM(p, c, 15),                    \
        KIP_MAP_ITEM(p, c, 16) },
#define KIP_MAP_PATTERN(p) { KIP_REP64(KIP_MAP_CHANNEL, p) },

static_assert(KIP_FIR_V6_3_PATTERN_MAX_SLOTS == 64 && KIP_FIR_V6_3_PATTERN_MAP_ITEMS == 17
        && KIP_FIR_V6_3_PATTERN_COUNT == 174,
    "the initialiser lists below are written for 64 slots, 17 map items and 174 patterns");

#endif // KIP_FIR_ADVCHANPAT_TABLES_H
