// kip-golden: JSON configuration reading with the line of every key, and typed key access.
#include "golden.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <iterator>

namespace golden {

namespace {

    // Characters consumed by the JSON lexer so far: the newlines among them give the line of the
    // token just read.
    struct ReadState {
        std::size_t newlines = 0;
        char last = 0;
    };

    // Input iterator over the file text that counts the newlines the parser consumes.
    class CountingIter {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = char;
        using difference_type = std::ptrdiff_t;
        using pointer = const char*;
        using reference = const char&;

        CountingIter(const char* p, ReadState* st)
            : p_(p)
            , st_(st)
        {
        }
        reference operator*() const { return *p_; }
        CountingIter& operator++()
        {
            st_->last = *p_;
            if (*p_ == '\n')
                ++st_->newlines;
            ++p_;
            return *this;
        }
        CountingIter operator++(int)
        {
            CountingIter t = *this;
            ++*this;
            return t;
        }
        bool operator==(const CountingIter& o) const { return p_ == o.p_; }
        bool operator!=(const CountingIter& o) const { return p_ != o.p_; }

    private:
        const char* p_;
        ReadState* st_;
    };

    using json = nlohmann::json;

    // Builds the top-level entries from SAX events. Only an object of scalars, arrays of scalars
    // and arrays of arrays of scalars is accepted.
    class EntrySax {
    public:
        EntrySax(std::string file, const std::string& text, ReadState* st)
            : file_(std::move(file))
            , text_(text)
            , st_(st)
        {
        }

        std::vector<JsonEntry> entries;

        bool null() { return scalar(json(nullptr), false); }
        bool boolean(bool v) { return scalar(json(v), false); }
        bool number_integer(json::number_integer_t v) { return scalar(json(v), true); }
        bool number_unsigned(json::number_unsigned_t v) { return scalar(json(v), true); }
        bool number_float(json::number_float_t v, const std::string&)
        {
            return scalar(json(v), true);
        }
        bool string(std::string& v) { return scalar(json(v), false); }
        bool binary(json::binary_t&) { return scalar(json(nullptr), false); }

        bool start_object(std::size_t)
        {
            if (depth_ == 0) {
                depth_ = 1;
                return true;
            }
            fail_here("nested objects are not accepted");
        }
        bool end_object()
        {
            depth_ = 0;
            return true;
        }
        bool start_array(std::size_t)
        {
            if (depth_ == 0)
                throw InputError(
                    where(file_, line(false)) + "the configuration must be a JSON object");
            if (depth_ == 1)
                cur().value = json::array();
            else if (depth_ == 2) {
                cur().value.push_back(json::array());
                cur().top_lines.push_back(line(false));
            } else
                fail_here("arrays nested deeper than two levels are not accepted");
            ++depth_;
            return true;
        }
        bool end_array()
        {
            --depth_;
            return true;
        }
        bool key(std::string& k)
        {
            for (const JsonEntry& e : entries)
                if (e.key == k)
                    throw InputError(where(file_, line(false)) + "key '" + k
                        + "' given twice (first on line " + std::to_string(e.line) + ")");
            JsonEntry e;
            e.key = k;
            e.line = line(false);
            entries.push_back(std::move(e));
            return true;
        }
        bool parse_error(
            std::size_t position, const std::string&, const nlohmann::detail::exception& ex)
        {
            std::size_t ln = 1;
            for (std::size_t i = 0; i < position && i < text_.size(); ++i)
                if (text_[i] == '\n')
                    ++ln;
            // Keep the parser's explanation, without its own position prefix.
            std::string what = ex.what();
            if (!what.empty() && what[0] == '[' && what.find("] ") != std::string::npos)
                what = what.substr(what.find("] ") + 2);
            std::size_t c = what.find("column ");
            if (c != std::string::npos) {
                std::size_t colon = what.find(": ", c);
                if (colon != std::string::npos)
                    what = what.substr(colon + 2);
            }
            throw InputError(where(file_, ln) + "malformed JSON: " + what);
        }

    private:
        JsonEntry& cur() { return entries.back(); }

        // Line of the token just read. A number is only known to end when the character after it
        // has been consumed, which may be the newline ending its line.
        std::size_t line(bool number) const
        {
            std::size_t n = st_->newlines + 1;
            if (number && st_->last == '\n' && n > 1)
                --n;
            return n;
        }

        [[noreturn]] void fail_here(const std::string& why)
        {
            std::string k = entries.empty() ? std::string() : "key '" + cur().key + "': ";
            throw InputError(where(file_, line(false)) + k + why);
        }

        bool scalar(json v, bool number)
        {
            if (depth_ == 0)
                throw InputError(
                    where(file_, line(number)) + "the configuration must be a JSON object");
            if (depth_ == 1) {
                cur().value = std::move(v);
            } else if (depth_ == 2) {
                cur().value.push_back(std::move(v));
                cur().elem_lines.push_back(line(number));
                cur().top_lines.push_back(line(number));
            } else {
                cur().value.back().push_back(std::move(v));
                cur().elem_lines.push_back(line(number));
            }
            return true;
        }

        std::string file_;
        const std::string& text_;
        ReadState* st_;
        int depth_ = 0;
    };

    std::string type_name(const json& v)
    {
        if (v.is_null())
            return "null";
        if (v.is_boolean())
            return "a boolean";
        if (v.is_number_integer())
            return "an integer";
        if (v.is_number_float())
            return "a real number";
        if (v.is_string())
            return "a string";
        if (v.is_array())
            return "an array";
        return "an object";
    }

    std::size_t edit_distance(const std::string& a, const std::string& b)
    {
        std::vector<std::size_t> d(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j)
            d[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            std::size_t prev = d[0];
            d[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j) {
                std::size_t t = d[j];
                bool same = std::tolower(static_cast<unsigned char>(a[i - 1]))
                    == std::tolower(static_cast<unsigned char>(b[j - 1]));
                d[j] = std::min({ d[j] + 1, d[j - 1] + 1, prev + (same ? 0 : 1) });
                prev = t;
            }
        }
        return d[b.size()];
    }

} // namespace

std::string read_config_text(const std::string& file)
{
    ByteSource src(file, "configuration file");
    std::string text;
    for (int c = src.get(); c >= 0; c = src.get()) {
        if (text.size() == kMaxConfigBytes)
            throw InputError(file + ": configuration larger than "
                + std::to_string(kMaxConfigBytes >> 20)
                + " MiB refused (give long coefficient lists in a coeff_file)");
        text += char(c);
    }
    return text;
}

std::vector<JsonEntry> parse_json_config(const std::string& file, const std::string& text)
{
    ReadState st;
    EntrySax sax(file, text, &st);
    CountingIter first(text.data(), &st), last(text.data() + text.size(), &st);
    json::sax_parse(first, last, &sax, nlohmann::json::input_format_t::json, true, true);
    return std::move(sax.entries);
}

std::vector<JsonEntry> read_json_config(const std::string& file)
{
    return parse_json_config(file, read_config_text(file));
}

ConfigKeys::ConfigKeys(std::string file, std::vector<JsonEntry> entries)
    : file_(std::move(file))
    , entries_(std::move(entries))
{
}

void ConfigKeys::check_known(const std::vector<std::string>& known) const
{
    for (const JsonEntry& e : entries_) {
        bool ok = false;
        std::string best;
        std::size_t best_d = 3;
        for (const std::string& k : known) {
            if (k == e.key) {
                ok = true;
                break;
            }
            std::size_t d = edit_distance(e.key, k);
            if (d < best_d) {
                best_d = d;
                best = k;
            }
        }
        if (!ok)
            throw InputError(where(file_, e.line) + "unknown key '" + e.key + "'"
                + (best.empty() ? std::string() : " (did you mean '" + best + "'?)"));
    }
}

const JsonEntry* ConfigKeys::find(const std::string& key) const
{
    for (const JsonEntry& e : entries_)
        if (e.key == key)
            return &e;
    return nullptr;
}

void ConfigKeys::fail(const std::string& key, const std::string& why) const
{
    const JsonEntry* e = find(key);
    throw InputError(where(file_, e ? e->line : 1) + "key '" + key + "': " + why);
}

namespace {

    bool as_int(const nlohmann::json& v, int64_t& out)
    {
        if (v.is_number_unsigned()) {
            auto u = v.get<uint64_t>();
            if (u > uint64_t(INT64_MAX))
                return false;
            out = int64_t(u);
            return true;
        }
        if (v.is_number_integer()) {
            out = v.get<int64_t>();
            return true;
        }
        return false;
    }

    // Line of element i of an array value; the key's line when none was recorded.
    std::size_t line_of(const JsonEntry& e, const std::vector<std::size_t>& lines, std::size_t i)
    {
        return i < lines.size() ? lines[i] : e.line;
    }

} // namespace

void ConfigKeys::get_int(const std::string& key, int32_t& dst, int64_t lo, int64_t hi) const
{
    const JsonEntry* e = find(key);
    if (!e)
        return;
    int64_t v;
    if (!as_int(e->value, v))
        fail(key, "expected an integer, found " + type_name(e->value));
    if (v < lo || v > hi)
        fail(key,
            "value " + std::to_string(v) + " outside " + std::to_string(lo) + " to "
                + std::to_string(hi));
    dst = int32_t(v);
}

void ConfigKeys::get_string(const std::string& key, std::string& dst) const
{
    const JsonEntry* e = find(key);
    if (!e)
        return;
    if (!e->value.is_string())
        fail(key, "expected a string, found " + type_name(e->value));
    const std::string& v = e->value.get_ref<const std::string&>();
    if (v.find('\0') != std::string::npos)
        fail(key, "the string holds a NUL character");
    dst = v;
}

void ConfigKeys::get_int_array(
    const std::string& key, std::vector<int32_t>& dst, int64_t lo, int64_t hi) const
{
    const JsonEntry* e = find(key);
    if (!e)
        return;
    if (!e->value.is_array())
        fail(key, "expected an array of integers, found " + type_name(e->value));
    dst.clear();
    std::size_t i = 0;
    for (const nlohmann::json& v : e->value) {
        int64_t x;
        std::string at = "element " + std::to_string(i) + ": ";
        if (!as_int(v, x))
            throw InputError(where(file_, line_of(*e, e->top_lines, i)) + "key '" + key + "': " + at
                + "expected an integer, found " + type_name(v));
        if (x < lo || x > hi)
            throw InputError(where(file_, line_of(*e, e->top_lines, i)) + "key '" + key + "': " + at
                + "value " + std::to_string(x) + " outside " + std::to_string(lo) + " to "
                + std::to_string(hi));
        dst.push_back(int32_t(x));
        ++i;
    }
}

void ConfigKeys::get_real_array(
    const std::string& key, std::vector<double>& dst, std::size_t& sets) const
{
    const JsonEntry* e = find(key);
    if (!e)
        return;
    if (!e->value.is_array())
        fail(key, "expected an array of numbers, found " + type_name(e->value));
    dst.clear();
    sets = 0;
    std::size_t k = 0; // scalar index, for the element's line
    auto take = [&](const nlohmann::json& v, const std::string& at) {
        if (!v.is_number())
            throw InputError(where(file_, line_of(*e, e->elem_lines, k)) + "key '" + key
                + "': " + at + "expected a number, found " + type_name(v));
        double x = v.get<double>();
        if (!std::isfinite(x))
            throw InputError(where(file_, line_of(*e, e->elem_lines, k)) + "key '" + key
                + "': " + at + "value is not finite");
        dst.push_back(x);
        ++k;
    };
    bool nested = !e->value.empty() && e->value[0].is_array();
    std::size_t inner = 0;
    for (std::size_t i = 0; i < e->value.size(); ++i) {
        const nlohmann::json& v = e->value[i];
        if (nested != v.is_array())
            fail(key, "mix of numbers and arrays; give one flat list or one array per set");
        if (nested) {
            if (i > 0 && v.size() != inner)
                fail(key,
                    "set " + std::to_string(i) + " has " + std::to_string(v.size())
                        + " values, set 0 has " + std::to_string(inner));
            inner = v.size();
            for (std::size_t j = 0; j < v.size(); ++j)
                take(v[j], "set " + std::to_string(i) + " element " + std::to_string(j) + ": ");
            ++sets;
        } else {
            take(v, "element " + std::to_string(i) + ": ");
        }
    }
}

} // namespace golden
