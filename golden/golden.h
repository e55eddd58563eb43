// kip-golden: shared declarations of the golden-vector tool (words, files, JSON configuration).
#ifndef KIP_GOLDEN_GOLDEN_H
#define KIP_GOLDEN_GOLDEN_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/types.h>

#include <gmp.h>
#include <nlohmann/json.hpp>

#include <kfft_v8_0_bitacc_cmodel.h>
#include <tapforge_v6_3_bitacc_cmodel.h>

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

// Longest text line read (a // comment and what follows it excepted): longer lines are refused,
// so a file without line ends cannot exhaust memory.
constexpr std::size_t kMaxLine = 4096;
// Largest configuration file read; longer coefficient lists go in a coeff_file.
constexpr std::size_t kMaxConfigBytes = std::size_t(16) << 20;

// "file:line: ", the form of every input error.
std::string where(const std::string& file, std::size_t line);

// A piece of user text fit to quote in a message: at most 40 characters (then "..."), control
// characters and bytes above 126 written as \xNN.
std::string excerpt(const std::string& text);

// Parses one text word of a two's complement format of `width` bits (1 to 64). Hexadecimal:
// the word's bits as plain hex digits ('_' separators and a 0x prefix accepted), at most
// `width` significant bits, the top one the sign. Decimal: optional sign, then digits, in
// -2^(width-1) .. 2^(width-1)-1. Returns false with `why` set when the word is refused.
bool parse_word(const std::string& text, Radix radix, int width, int64_t& value, std::string& why);

// Formats an integer as a word of `width` bits: hex as zero-padded two's complement digits
// (ceil(width/4) of them, no prefix), decimal with a sign when negative. The value must fit.
std::string format_word(const mpz_t value, Radix radix, int width);
std::string format_word(int64_t value, Radix radix, int width);

// Identity of a file (device and inode) an output must not replace.
struct FileId {
    std::string role; // "input", "configuration", "coefficient file"
    std::string path;
    dev_t dev = 0;
    ino_t ino = 0;
};
// The identity of an existing file; false when it cannot be examined.
bool file_id(const std::string& role, const std::string& path, FileId& id);

// Sequential bytes of an input file (read in blocks: memory stays bounded whatever its size) or
// of a memory buffer. Opening refuses a folder with a message naming `what`.
class ByteSource {
public:
    ByteSource(const std::string& path, const char* what);
    ByteSource(std::string name, const char* data, std::size_t size);
    ~ByteSource();
    ByteSource(const ByteSource&) = delete;
    ByteSource& operator=(const ByteSource&) = delete;

    // Next byte, or -1 at the end. Throws InputError on a read error.
    int get()
    {
        if (pos_ == end_ && !fill())
            return -1;
        return static_cast<unsigned char>(*pos_++);
    }
    const std::string& name() const { return name_; }
    // Bytes in the file when it is a regular file (or a buffer), else -1.
    long long size() const { return size_; }
    const FileId* id() const { return has_id_ ? &id_ : nullptr; }

private:
    bool fill();
    std::string name_;
    int fd_ = -1;
    std::vector<char> buf_;
    const char* pos_ = nullptr;
    const char* end_ = nullptr;
    long long size_ = -1;
    bool has_id_ = false;
    FileId id_;
};

// Lines of a text source with // comments removed and blanks trimmed; blank lines skipped.
// A line whose text before any comment passes kMaxLine characters is refused.
class LineReader {
public:
    explicit LineReader(ByteSource& src)
        : src_(src)
    {
    }
    // The next non-blank line; false at the end.
    bool next(std::string& text);
    std::size_t line() const { return line_; }

private:
    ByteSource& src_;
    std::size_t line_ = 0;
};

// Input words read one at a time: text words one per line (blank lines and // comments
// skipped), or the elements of a .npy file of integers (any shape, C order). Every word is
// checked against `width`. Memory stays bounded whatever the input size.
class WordReader {
public:
    WordReader(ByteSource& src, Radix radix, int width, bool npy);
    // The next word; false at the end of the input.
    bool next(int64_t& value);
    const std::string& file() const { return src_.name(); }
    // Words read so far.
    std::size_t count() const { return count_; }
    // Elements the .npy header announces (known before reading), else -1.
    long long total() const { return npy_ ? static_cast<long long>(npy_count_) : -1; }
    // "file:line: " (text) or "file: element i: " (.npy) of the last word read.
    std::string last_at() const;

private:
    void read_npy_header();
    ByteSource& src_;
    LineReader lines_;
    Radix radix_;
    int width_;
    bool npy_;
    std::size_t count_ = 0;
    std::size_t last_line_ = 0;
    // .npy element layout
    std::size_t npy_count_ = 0;
    std::size_t npy_size_ = 0;
    bool npy_signed_ = true;
    std::string npy_shape_;
};

// True when the name ends in ".npy".
bool is_npy_name(const std::string& path);

// Output of the words. A regular file (or a new one) is written under a short temporary name
// in its folder and renamed into place by commit(); destroyed uncommitted, or on SIGINT, SIGTERM
// or SIGHUP, it removes the temporary file, so a failed run leaves no partial output. A
// symbolic link is followed: its target is replaced and the link kept. Other targets (a FIFO,
// a character device, "-" or /dev/stdout for standard output) are written directly. The output
// must not be the same file as one of `inputs`. A name ending in ".npy" writes one int64 .npy
// array of the given shape (the words in order, C order; regular files only), else text words
// one per line. Memory stays bounded: words are written as they come.
class OutputFile {
public:
    OutputFile(const std::string& path, Radix radix, const std::vector<FileId>& inputs);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool npy() const { return npy_; }
    // True when the words go to the standard output (the summary line then goes to stderr).
    bool to_stdout() const { return to_stdout_; }
    // Appends one word of `width` bits; a value outside the width is written modulo 2^width
    // and counted (see wrapped()).
    void put(const mpz_t value, int width);
    void put(int64_t value, int width);
    // Writes out what is buffered; throws InputError on a write error.
    void flush();
    // Shape of the .npy array; its product must equal the number of words at commit().
    void set_shape(std::vector<std::size_t> shape) { shape_ = std::move(shape); }
    void commit();

    std::size_t count() const { return count_; }
    std::size_t wrapped() const { return wrapped_; }
    std::size_t first_wrapped() const { return first_wrapped_; }

private:
    void append(const std::string& s);
    void append_npy(int64_t v);
    void write_all(const char* p, std::size_t n);
    [[noreturn]] void write_failed(int err);
    std::string path_;
    Radix radix_;
    bool npy_ = false;
    bool direct_ = false;
    bool to_stdout_ = false;
    int fd_ = -1;
    bool committed_ = false;
    std::string final_; // the file renamed onto (temporary mode)
    std::string tmp_;
    std::string buf_;
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
    std::vector<std::size_t> top_lines; // line of each element of an array value
};

// Reads the text of a configuration file (at most kMaxConfigBytes; a folder is refused).
std::string read_config_text(const std::string& file);
// Parses a JSON object of scalars and arrays (// and /* */ comments allowed), keeping the line
// of every key. Refuses malformed JSON, duplicate keys and nested objects; `file` names the
// text in messages.
std::vector<JsonEntry> parse_json_config(const std::string& file, const std::string& text);
// read_config_text and parse_json_config.
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
    // A string without NUL characters.
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

// One real coefficient per line; blank lines and // comments skipped.
std::vector<double> read_coeff_values(ByteSource& src);

// The FIR configuration a JSON configuration describes, coefficients included; cfg.name and
// cfg.coeff point into the members, so a setup is filled in place and never copied.
struct FirSetup {
    FirSetup() = default;
    FirSetup(const FirSetup&) = delete;
    FirSetup& operator=(const FirSetup&) = delete;
    kip_fir_v6_3_config cfg {};
    std::string name;
    std::vector<double> coeff;
    std::string coeff_file; // the coefficient file read (resolved path), if any
};
// Reads a coefficient file (its path resolved against the configuration's folder).
using CoeffLoader = std::function<std::vector<double>(const std::string& path)>;
// Fills `s` from the keys; refuses unknown keys, values out of range and coefficient lists
// that do not match num_coeffs x coeff_sets.
void fir_setup(const ConfigKeys& keys, const CoeffLoader& load, FirSetup& s);

// The FFT generics and per-frame inputs a JSON configuration describes.
struct FftSetup {
    kelvar_ip_kfft_v8_0_generics g {};
    int32_t nfft = 0;
    int32_t direction = 1;
    std::vector<int32_t> sched; // empty when the generics use no schedule
};
// The generics (refused by the model later, when it creates the state).
void fft_generics(const ConfigKeys& keys, FftSetup& s);
// The per-frame inputs; the generics must have been accepted by the model.
void fft_frame_inputs(const ConfigKeys& keys, FftSetup& s);

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
