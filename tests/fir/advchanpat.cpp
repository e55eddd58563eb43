// Channel pattern tables: exact contents against a reference built here from the rate lists
// written as text, structural invariants, example rows and the checked lookup helpers.
#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <string>
#include <vector>

#include "advchanpat.h"

namespace {

constexpr int kPatterns = 174;
constexpr int kSlots = 64;
constexpr int kItems = 17;

// Rate lists per base frame length, "rate x channels" groups from the highest rate down.
const std::vector<std::string> kText4 = { "4x1", "2x2", "3x1 1x1", "2x1 1x2", "1x4" };
const std::vector<std::string> kText6
    = { "6x1", "3x2", "4x1 2x1", "2x3", "4x1 1x2", "3x1 1x3", "2x2 1x2", "2x1 1x4", "1x6" };
const std::vector<std::string> kText8 = { "8x1", "6x1 2x1", "4x2", "6x1 1x2", "4x1 2x2", "2x4",
    "4x1 2x1 1x2", "3x2 1x2", "4x1 1x4", "2x3 1x2", "2x2 1x4", "2x1 1x6", "1x8" };
const std::vector<std::string> kText12 = { "12x1", "6x2", "8x1 4x1", "9x1 3x1", "8x1 2x2",
    "6x1 3x2", "4x3", "6x1 2x3", "4x2 2x2", "3x4", "8x1 1x4", "6x1 2x2 1x2", "4x2 2x1 1x2",
    "4x1 2x4", "4x2 1x4", "3x3 1x3", "4x1 2x3 1x2", "2x6", "6x1 1x6", "4x1 2x2 1x4", "2x5 1x2",
    "4x1 2x1 1x6", "3x2 1x6", "2x4 1x4", "2x3 1x6", "2x2 1x8", "1x12" };
const std::vector<std::string> kText16 = { "16x1", "12x1 4x1", "8x2", "12x1 2x2", "8x1 4x2", "4x4",
    "8x1 4x1 2x2", "6x2 2x2", "8x1 2x4", "4x3 2x2", "4x2 2x4", "4x1 2x6", "2x8", "6x2 1x4",
    "4x2 2x4", "4x2 2x2 1x4", "3x4 1x4", "4x2 1x8", "2x6 1x4", "2x4 1x8", "2x2 1x12", "1x16" };

struct FrameText {
    int n;
    const std::vector<std::string>* lists;
    int scale;
};
const FrameText kFrameTexts[] = { { 4, &kText4, 1 }, { 6, &kText6, 1 }, { 8, &kText8, 1 },
    { 12, &kText12, 1 }, { 16, &kText16, 1 }, { 24, &kText12, 2 }, { 32, &kText16, 2 },
    { 48, &kText12, 4 }, { 64, &kText16, 4 } };

std::vector<int> parse_rates(const std::string& text, int scale)
{
    std::vector<int> rates;
    std::istringstream in(text);
    std::string group;
    while (in >> group) {
        const auto x = group.find('x');
        const int rate = std::stoi(group.substr(0, x));
        const int count = std::stoi(group.substr(x + 1)) * scale;
        rates.insert(rates.end(), count, rate);
    }
    return rates;
}

// Channel numbers with their rates, first channel first.
struct Chan {
    int id;
    int rate;
};

// Slot placement written straight from its recursive statement.
void place(std::vector<int>& seq, const std::vector<int>& q, const std::vector<Chan>& c)
{
    if (c.empty())
        return;
    bool same = true;
    for (const Chan& ch : c)
        same = same && ch.rate == c[0].rate;
    if (same) {
        for (size_t i = 0; i < q.size(); ++i)
            seq[q[i]] = c[i % c.size()].id;
        return;
    }
    const int r = c[0].rate;
    std::vector<Chan> t;
    std::vector<Chan> rest(c.begin(), c.end());
    while (!rest.empty() && rest.front().rate == r) {
        t.push_back(rest.front());
        rest.erase(rest.begin());
    }
    const int k = static_cast<int>(t.size());
    std::vector<int> q2;
    if (q.size() % r == 0) {
        const int period = static_cast<int>(q.size()) / r;
        std::vector<int> pos;
        for (int j = 0; j < k; ++j)
            pos.push_back(period % k == 0 ? j * (period / k) : j);
        std::vector<bool> used(q.size(), false);
        for (int tt = 0; tt < r; ++tt) {
            for (int j = 0; j < k; ++j) {
                seq[q[tt * period + pos[j]]] = t[j].id;
                used[tt * period + pos[j]] = true;
            }
        }
        for (size_t i = 0; i < q.size(); ++i)
            if (!used[i])
                q2.push_back(q[i]);
    } else {
        for (int i = 0; i < k * r; ++i)
            seq[q[i]] = t[i % k].id;
        q2.assign(q.begin() + k * r, q.end());
    }
    place(seq, q2, rest);
}

std::vector<int> placed_row(int n, const std::vector<int>& rates)
{
    std::vector<int> seq(kSlots, -1);
    std::vector<int> q;
    for (int s = 0; s < n; ++s)
        q.push_back(s);
    std::vector<Chan> c;
    for (size_t i = 0; i < rates.size(); ++i)
        c.push_back({ static_cast<int>(i), rates[i] });
    place(seq, q, c);
    return seq;
}

struct Reference {
    int min[kSlots + 1];
    int max[kSlots + 1];
    std::vector<std::vector<int>> rates; // per pattern
    std::vector<int> frame; // N per pattern
    int seq[kPatterns][kSlots];
    int map[kPatterns][kSlots][kItems];
};

Reference build_reference()
{
    Reference ref {};
    for (int n = 0; n <= kSlots; ++n)
        ref.min[n] = ref.max[n] = -1;
    std::vector<std::vector<int>> seqs;
    for (const FrameText& f : kFrameTexts) {
        ref.min[f.n] = static_cast<int>(seqs.size());
        for (const std::string& text : *f.lists) {
            ref.rates.push_back(parse_rates(text, f.scale));
            ref.frame.push_back(f.n);
            seqs.push_back(placed_row(f.n, ref.rates.back()));
        }
        ref.max[f.n] = static_cast<int>(seqs.size()) - 1;
    }
    auto fix = [&](int p, const std::vector<int>& row) {
        for (size_t s = 0; s < row.size(); ++s)
            seqs[p][s] = row[s];
    };
    fix(43, { 0, 1, 3, 0, 2, 4, 0, 1, 3, 0, 2, 5 });
    fix(49, { 0, 1, 2, 3, 0, 1, 4, 5, 0, 1, 6, 7 });
    fix(51, { 0, 1, 2, 3, 4, 5, 0, 1, 2, 6, 7, 8 });
    fix(52, { 0, 1, 2, 3, 4, 5, 0, 1, 6, 7, 8, 9 });
    fix(72, { 0, 1, 2, 6, 3, 4, 5, 7, 0, 1, 2, 8, 3, 4, 5, 9 });
    std::vector<int> row119;
    for (int rep = 0; rep < 3; ++rep)
        row119.insert(row119.end(), { 0, 1, 2, 6, 3, 4, 5, 7 });
    for (int c = 8; c <= 15; ++c)
        row119.push_back(c);
    fix(119, row119);
    std::vector<int> row137;
    for (int half = 0; half < 2; ++half) {
        for (int c = 0; c <= 11; ++c)
            row137.push_back(c);
        for (int c = 0; c <= 7; ++c)
            row137.push_back(c);
        for (int c = 0; c < 4; ++c)
            row137.push_back((half == 0 ? 12 : 16) + c);
    }
    fix(137, row137);

    for (int p = 0; p < kPatterns; ++p) {
        for (int s = 0; s < kSlots; ++s)
            ref.seq[p][s] = seqs[p][s];
        std::vector<int> buffer(kItems, -1);
        for (int c = 0; c < kSlots; ++c) {
            std::vector<int> slots;
            for (int s = 0; s < kSlots; ++s)
                if (seqs[p][s] == c)
                    slots.push_back(s);
            for (int i = 0; i < kItems; ++i)
                ref.map[p][c][i] = -1;
            if (slots.empty())
                continue;
            buffer[0] = static_cast<int>(slots.size());
            for (size_t i = 0; i < slots.size(); ++i)
                buffer[1 + i] = slots[i];
            for (int i = 0; i < kItems; ++i)
                ref.map[p][c][i] = buffer[i];
        }
    }
    return ref;
}

const Reference& reference()
{
    static const Reference ref = build_reference();
    return ref;
}

std::vector<int> seq_row(int p)
{
    const int n = reference().frame[p];
    return std::vector<int>(kip_fir_v6_3_pattern_seq[p], kip_fir_v6_3_pattern_seq[p] + n);
}

std::vector<int> map_row(int p, int c, int items)
{
    const int32_t* row = kip_fir_v6_3_pattern_map[p][c];
    return std::vector<int>(row, row + items);
}

TEST(PatternTables, MatchReferenceExactly)
{
    const Reference& ref = reference();
    ASSERT_EQ(ref.frame.size(), static_cast<size_t>(kPatterns));
    for (int n = 0; n <= kSlots; ++n) {
        ASSERT_EQ(kip_fir_v6_3_pattern_min[n], ref.min[n]) << "min, N " << n;
        ASSERT_EQ(kip_fir_v6_3_pattern_max[n], ref.max[n]) << "max, N " << n;
    }
    for (int p = 0; p < kPatterns; ++p)
        for (int s = 0; s < kSlots; ++s)
            ASSERT_EQ(kip_fir_v6_3_pattern_seq[p][s], ref.seq[p][s])
                << "seq, pattern " << p << " slot " << s;
    for (int p = 0; p < kPatterns; ++p)
        for (int c = 0; c < kSlots; ++c)
            for (int i = 0; i < kItems; ++i)
                ASSERT_EQ(kip_fir_v6_3_pattern_map[p][c][i], ref.map[p][c][i])
                    << "map, pattern " << p << " channel " << c << " item " << i;
}

TEST(PatternTables, RangesByFrameLength)
{
    const int frames[] = { 4, 6, 8, 12, 16, 24, 32, 48, 64 };
    const int first[] = { 0, 5, 14, 27, 54, 76, 103, 125, 152 };
    const int last[] = { 4, 13, 26, 53, 75, 102, 124, 151, 173 };
    int k = 0;
    for (int n = 0; n <= kSlots; ++n) {
        if (k < 9 && n == frames[k]) {
            EXPECT_EQ(kip_fir_v6_3_pattern_min[n], first[k]) << n;
            EXPECT_EQ(kip_fir_v6_3_pattern_max[n], last[k]) << n;
            ++k;
        } else {
            EXPECT_EQ(kip_fir_v6_3_pattern_min[n], -1) << n;
            EXPECT_EQ(kip_fir_v6_3_pattern_max[n], -1) << n;
        }
    }
}

// For every pattern: channels 0 to K-1 are used with non-increasing rates matching its rate
// list, the rates add up to N, each slot below N is listed by exactly the channel seq names,
// slots N to 63 are -1 and unused channel rows are all -1.
TEST(PatternTables, EveryPatternCoversItsFrame)
{
    const Reference& ref = reference();
    for (int p = 0; p < kPatterns; ++p) {
        SCOPED_TRACE("pattern " + std::to_string(p));
        const int n = ref.frame[p];
        const std::vector<int>& rates = ref.rates[p];
        const int channels = static_cast<int>(rates.size());
        std::vector<int> owner_count(kSlots, 0);
        int sum = 0;
        for (int c = 0; c < kSlots; ++c) {
            const int32_t* row = kip_fir_v6_3_pattern_map[p][c];
            if (c >= channels) {
                for (int i = 0; i < kItems; ++i)
                    ASSERT_EQ(row[i], -1) << "unused channel " << c;
                continue;
            }
            ASSERT_EQ(row[0], rates[c]) << "channel " << c;
            sum += row[0];
            for (int i = 1; i <= row[0]; ++i) {
                ASSERT_GE(row[i], 0);
                ASSERT_LT(row[i], n);
                if (i > 1) {
                    ASSERT_LT(row[i - 1], row[i]);
                }
                ASSERT_EQ(kip_fir_v6_3_pattern_seq[p][row[i]], c);
                ++owner_count[row[i]];
            }
        }
        ASSERT_EQ(sum, n);
        for (int s = 0; s < kSlots; ++s) {
            ASSERT_EQ(owner_count[s], s < n ? 1 : 0) << "slot " << s;
            if (s >= n) {
                ASSERT_EQ(kip_fir_v6_3_pattern_seq[p][s], -1) << "slot " << s;
            }
        }
    }
}

TEST(PatternTables, ExampleRows)
{
    EXPECT_EQ(seq_row(0), (std::vector<int> { 0, 0, 0, 0 }));
    EXPECT_EQ(seq_row(1), (std::vector<int> { 0, 1, 0, 1 }));
    EXPECT_EQ(seq_row(2), (std::vector<int> { 0, 0, 0, 1 }));
    EXPECT_EQ(seq_row(3), (std::vector<int> { 0, 1, 0, 2 }));
    EXPECT_EQ(seq_row(15), (std::vector<int> { 0, 0, 0, 0, 0, 0, 1, 1 }));
    EXPECT_EQ(seq_row(18), (std::vector<int> { 0, 1, 0, 2, 0, 1, 0, 2 }));
    EXPECT_EQ(seq_row(24), (std::vector<int> { 0, 2, 1, 3, 0, 4, 1, 5 }));
    EXPECT_EQ(seq_row(43), (std::vector<int> { 0, 1, 3, 0, 2, 4, 0, 1, 3, 0, 2, 5 }));

    // Pattern 2 (3x1 1x1): channel 1's row keeps channel 0's leftovers after its own slot.
    EXPECT_EQ(map_row(2, 0, kItems),
        (std::vector<int> { 3, 0, 1, 2, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1 }));
    EXPECT_EQ(map_row(2, 1, kItems),
        (std::vector<int> { 1, 3, 1, 2, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1 }));
    EXPECT_EQ(map_row(2, 2, kItems), std::vector<int>(kItems, -1));

    // Pattern 152 (16x4): 0, 1, 2, 3 sixteen times; channel 0 owns every fourth slot.
    std::vector<int> expected_seq;
    std::vector<int> expected_row { 16 };
    for (int rep = 0; rep < 16; ++rep) {
        expected_seq.insert(expected_seq.end(), { 0, 1, 2, 3 });
        expected_row.push_back(4 * rep);
    }
    EXPECT_EQ(seq_row(152), expected_seq);
    EXPECT_EQ(map_row(152, 0, kItems), expected_row);

    // One channel per slot.
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(map_row(4, c, 2), (std::vector<int> { 1, c })) << c;
    for (int c = 0; c < 64; ++c)
        EXPECT_EQ(map_row(173, c, 2), (std::vector<int> { 1, c })) << c;

    // Scaled rate lists: 78 is 8x2 4x2, 104 is 12x2 4x2, 127 is 8x4 4x4.
    EXPECT_EQ(reference().rates[78], (std::vector<int> { 8, 8, 4, 4 }));
    EXPECT_EQ(reference().rates[104], (std::vector<int> { 12, 12, 4, 4 }));
    EXPECT_EQ(reference().rates[127], (std::vector<int> { 8, 8, 8, 8, 4, 4, 4, 4 }));
}

TEST(PatternTables, FixedRowsDifferFromPlacement)
{
    // Pattern 43 would be placed differently; the table holds the fixed row.
    EXPECT_EQ(placed_row(12, reference().rates[43]),
        (std::vector<int> { 0, 1, 2, 0, 3, 4, 0, 1, 2, 0, 3, 5, -1, -1, -1, -1, -1, -1, -1, -1, -1,
            -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
            -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1 }));
    // Equal rate lists give equal rows for distinct pattern numbers.
    for (auto pair : { std::pair<int, int> { 64, 68 }, { 113, 117 }, { 162, 166 } }) {
        EXPECT_EQ(reference().rates[pair.first], reference().rates[pair.second]);
        EXPECT_EQ(seq_row(pair.first), seq_row(pair.second)) << pair.first;
    }
}

TEST(PatternLookup, RefusesEverythingOutsideTheTables)
{
    using namespace kip_fir;
    for (int32_t bad : { -1, 174, 175, 176, INT32_MAX, INT32_MIN }) {
        EXPECT_FALSE(pattern_is_row(bad)) << bad;
        EXPECT_EQ(pattern_map_row(bad, 0), nullptr) << bad;
        EXPECT_EQ(pattern_rate(bad, 0), -1) << bad;
        EXPECT_EQ(pattern_channel(bad, 0), -1) << bad;
    }
    EXPECT_EQ(pattern_map_row(173, 64), nullptr);
    EXPECT_EQ(pattern_map_row(173, SIZE_MAX), nullptr);
    EXPECT_EQ(pattern_channel(173, 64), -1);
    EXPECT_EQ(pattern_map_row(0, 1), nullptr); // pattern 0 uses channel 0 alone
    EXPECT_EQ(pattern_rate(0, 0), 4);
    EXPECT_EQ(pattern_map_row(2, 1), kip_fir_v6_3_pattern_map[2][1]);
    EXPECT_EQ(pattern_channel(3, 3), 2);
    EXPECT_EQ(pattern_channel(3, 4), -1); // beyond the frame of 4

    EXPECT_EQ(pattern_first(12), 27);
    EXPECT_EQ(pattern_last(12), 53);
    EXPECT_EQ(pattern_first(65), -1);
    EXPECT_EQ(pattern_last(SIZE_MAX), -1);
    EXPECT_TRUE(pattern_allowed(12, 27));
    EXPECT_TRUE(pattern_allowed(12, 53));
    EXPECT_FALSE(pattern_allowed(12, 54));
    EXPECT_FALSE(pattern_allowed(12, 175));
    EXPECT_FALSE(pattern_allowed(5, -1));
    EXPECT_FALSE(pattern_allowed(64, 175));
}

} // namespace
