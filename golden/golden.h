// kip-golden: shared declarations of the golden-vector tool (words, files, JSON configuration).
#ifndef KIP_GOLDEN_GOLDEN_H
#define KIP_GOLDEN_GOLDEN_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmp.h>
#include <nlohmann/json.hpp>

namespace golden {

// A refusal of the user's input (arguments, configuration, stimulus, output path): the text
// names the file and line. Leads to exit status 2.
struct InputError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure of a model on input it accepted. Leads to exit status 1.
struct ModelError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class Radix { hex, dec };

// "file:line: text", the form of every input error.
std::string where(const std::string& file, std::size_t line);

// Parses one text word of a two's complement format of `width` bits (1 to 64). Hexadecimal:
// the word's bits as plain hex digits ('_' separators and a 0x prefix accepted), at most
// `width` significant bits, the top one the sign. Decimal: optional sign, then digits, in
// -2^(width-1) .. 2^(width-1)-1. Returns false with `why` set when the word is refused.
bool parse_word(const std::string& text, Radix radix, int width, int64_t& value, std::string& why);

// Formats an integer as a word of `width` bits: hex as zero-padded two's complement digits
// (ceil(width/4) of them, no prefix), decimal with a sign when negative. The value must fit.
std::string format_word(const mpz_t value, Radix radix, int width);
std::string format_word(int64_t value, Radix radix, int width);

// Input words and the position each came from (text line, or element index of a .npy file).
struct Words {
    std::string file;
    std::vector<int64_t> values;
    std::vector<std::size_t> lines;
    bool npy = false;
    // "file:line" (text) or "file: element i" (.npy) of word i; of the end when i is past it.
    std::string at(std::size_t i) const;
};

// Reads the words of `file` (one per line; blank lines and // comments skipped), or of a .npy
// file of integers (any shape, C order) when the name ends in ".npy". Every word is checked
// against `width`.
Words read_words(const std::string& file, Radix radix, int width);

// Output file written under a temporary name in the same folder and renamed into place by
// commit(); destroyed uncommitted, it removes the temporary file, so a failed run leaves no
// partial output. A name ending in ".npy" writes one int64 .npy array of the given shape
// (the words in order, C order), else text words one per line.
class OutputFile {
public:
    OutputFile(const std::string& path, Radix radix);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool npy() const { return npy_; }
    // Appends one word of `width` bits; a value outside the width is written modulo 2^width
    // and counted (see wrapped()).
    void put(const mpz_t value, int width);
    void put(int64_t value, int width);
    // Shape of the .npy array; its product must equal the number of words at commit().
    void set_shape(std::vector<std::size_t> shape) { shape_ = std::move(shape); }
    void commit();

    std::size_t count() const { return count_; }
    std::size_t wrapped() const { return wrapped_; }
    std::size_t first_wrapped() const { return first_wrapped_; }

private:
    std::string path_;
    std::string tmp_;
    Radix radix_;
    bool npy_ = false;
    std::FILE* fp_ = nullptr;
    bool committed_ = false;
    std::vector<int64_t> npy_words_;
    std::vector<std::size_t> shape_;
    std::size_t count_ = 0;
    std::size_t wrapped_ = 0;
    std::size_t first_wrapped_ = 0;
    mpz_t scratch_;
};

// One top-level key of a JSON configuration, with the line it stands on.
struct JsonEntry {
    std::string key;
    std::size_t line = 0;
    nlohmann::json value;
    std::vector<std::size_t> elem_lines; // line of each scalar inside an array value, in order
};

// Reads a JSON object of scalars and arrays (// and /* */ comments allowed), keeping the
// line of every key. Refuses malformed JSON, duplicate keys and nested objects.
std::vector<JsonEntry> read_json_config(const std::string& file);

// Typed access to the configuration's keys, reporting "file:line: key 'k': ..." on a refusal.
class ConfigKeys {
public:
    ConfigKeys(std::string file, std::vector<JsonEntry> entries);
    // Refuses every key not in `known` (with a suggestion when one is close).
    void check_known(const std::vector<std::string>& known) const;
    const JsonEntry* find(const std::string& key) const;
    bool has(const std::string& key) const { return find(key) != nullptr; }
    // The key's value as an integer in [lo, hi]; dst is untouched when the key is absent.
    void get_int(
        const std::string& key, int32_t& dst, int64_t lo = INT32_MIN, int64_t hi = INT32_MAX) const;
    void get_string(const std::string& key, std::string& dst) const;
    // An array of integers (each in [lo, hi]).
    void get_int_array(
        const std::string& key, std::vector<int32_t>& dst, int64_t lo, int64_t hi) const;
    // An array of finite numbers, or an array of such arrays (one per coefficient set);
    // `sets` receives the number of inner arrays (0 for a flat list).
    void get_real_array(const std::string& key, std::vector<double>& dst, std::size_t& sets) const;
    [[noreturn]] void fail(const std::string& key, const std::string& why) const;
    const std::string& file() const { return file_; }

private:
    std::string file_;
    std::vector<JsonEntry> entries_;
};

struct RunOptions {
    std::string config;
    std::string input;
    std::string output;
    Radix radix = Radix::hex;
};

// The two commands; each returns the process exit status or throws InputError / ModelError.
int run_fir(const RunOptions& opt);
int run_fft(const RunOptions& opt);

} // namespace golden

#endif
