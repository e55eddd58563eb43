// kip-golden: text and .npy word files, two's complement parsing and formatting, atomic output.
#include "golden.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace golden {

std::string where(const std::string& file, std::size_t line)
{
    return file + ":" + std::to_string(line) + ": ";
}

namespace {

    int hex_digit(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }

    int64_t min_of(int width) { return width >= 64 ? INT64_MIN : -(int64_t(1) << (width - 1)); }
    int64_t max_of(int width) { return width >= 64 ? INT64_MAX : (int64_t(1) << (width - 1)) - 1; }

    std::string radix_name(Radix r) { return r == Radix::hex ? "hexadecimal" : "decimal"; }

} // namespace

bool parse_word(const std::string& text, Radix radix, int width, int64_t& value, std::string& why)
{
    if (radix == Radix::hex) {
        std::size_t i = 0;
        if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
            i = 2;
        uint64_t bits = 0;
        bool any = false, too_big = false;
        for (; i < text.size(); ++i) {
            char c = text[i];
            if (c == '_' && any)
                continue;
            int d = hex_digit(c);
            if (d < 0) {
                why = "malformed hexadecimal word '" + text + "'";
                return false;
            }
            any = true;
            if (bits >> 60)
                too_big = true;
            bits = (bits << 4) | uint64_t(d);
        }
        if (!any) {
            why = "malformed hexadecimal word '" + text + "'";
            return false;
        }
        if (too_big || (width < 64 && (bits >> width) != 0)) {
            why = "word '" + text + "' does not fit in " + std::to_string(width) + " bits";
            return false;
        }
        if (width < 64 && (bits >> (width - 1)) & 1)
            bits |= ~uint64_t(0) << width; // sign extension
        std::memcpy(&value, &bits, sizeof value);
        return true;
    }
    std::size_t i = 0;
    bool neg = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        neg = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) {
        why = "malformed decimal word '" + text + "'";
        return false;
    }
    uint64_t mag = 0;
    bool too_big = false;
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') {
            why = "malformed decimal word '" + text + "'";
            return false;
        }
        if (mag > (UINT64_MAX - 9) / 10)
            too_big = true;
        else
            mag = mag * 10 + uint64_t(c - '0');
    }
    // Range of a signed word: magnitude up to 2^(w-1) when negative, 2^(w-1)-1 otherwise.
    const uint64_t lim = uint64_t(1) << (width - 1);
    if (too_big || (neg ? mag > lim : mag > lim - 1)) {
        why = "word '" + text + "' does not fit in " + std::to_string(width) + " bits (range "
            + std::to_string(min_of(width)) + " to " + std::to_string(max_of(width)) + ")";
        return false;
    }
    value = neg ? int64_t(0 - mag) : int64_t(mag);
    return true;
}

std::string format_word(const mpz_t value, Radix radix, int width)
{
    if (radix == Radix::dec) {
        std::string s(mpz_sizeinbase(value, 10) + 2, '\0');
        mpz_get_str(&s[0], 10, value);
        s.resize(std::strlen(s.c_str()));
        return s;
    }
    mpz_t u;
    mpz_init(u);
    mpz_fdiv_r_2exp(u, value, mp_bitcnt_t(width)); // two's complement bits
    std::string s(mpz_sizeinbase(u, 16) + 2, '\0');
    mpz_get_str(&s[0], 16, u);
    mpz_clear(u);
    s.resize(std::strlen(s.c_str()));
    const std::size_t digits = std::size_t(width + 3) / 4;
    if (s.size() < digits)
        s.insert(0, digits - s.size(), '0');
    return s;
}

std::string format_word(int64_t value, Radix radix, int width)
{
    if (radix == Radix::dec)
        return std::to_string(value);
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (width < 64)
        bits &= (uint64_t(1) << width) - 1;
    char buf[24];
    std::snprintf(
        buf, sizeof buf, "%0*llx", (width + 3) / 4, static_cast<unsigned long long>(bits));
    return buf;
}

std::string Words::at(std::size_t i) const
{
    if (npy)
        return file + ": element " + std::to_string(i) + ": ";
    if (i < lines.size())
        return where(file, lines[i]);
    return where(file, lines.empty() ? 1 : lines.back());
}

namespace {

    std::string slurp(const std::string& file, const char* what)
    {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            throw InputError(file + ": cannot open " + what + ": " + std::strerror(errno));
        std::ostringstream ss;
        ss << in.rdbuf();
        if (in.bad())
            throw InputError(file + ": cannot read " + what);
        return ss.str();
    }

    bool ends_with(const std::string& s, const char* suffix)
    {
        std::size_t n = std::strlen(suffix);
        return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
    }

    // Header value of one key of a .npy header dictionary, as written by numpy.
    std::string npy_field(
        const std::string& header, const std::string& key, const std::string& file)
    {
        std::size_t k = header.find("'" + key + "'");
        if (k == std::string::npos)
            throw InputError(file + ": .npy header has no '" + key + "'");
        std::size_t c = header.find(':', k);
        if (c == std::string::npos)
            throw InputError(file + ": malformed .npy header");
        std::size_t b = header.find_first_not_of(' ', c + 1);
        if (b == std::string::npos)
            throw InputError(file + ": malformed .npy header");
        std::size_t e;
        if (header[b] == '(')
            e = header.find(')', b) + 1;
        else if (header[b] == '\'')
            e = header.find('\'', b + 1) + 1;
        else
            e = header.find_first_of(",}", b);
        if (e == std::string::npos || e == 0)
            throw InputError(file + ": malformed .npy header");
        return header.substr(b, e - b);
    }

    Words read_npy(const std::string& file, const std::string& raw, int width)
    {
        Words w;
        w.file = file;
        w.npy = true;
        static const char magic[] = "\x93NUMPY";
        if (raw.size() < 10 || raw.compare(0, 6, magic, 6) != 0)
            throw InputError(file + ": not a .npy file");
        const unsigned major = static_cast<unsigned char>(raw[6]);
        std::size_t hlen, hstart;
        if (major == 1) {
            hlen = static_cast<unsigned char>(raw[8])
                | (std::size_t(static_cast<unsigned char>(raw[9])) << 8);
            hstart = 10;
        } else if ((major == 2 || major == 3) && raw.size() >= 12) {
            hlen = 0;
            for (int i = 3; i >= 0; --i)
                hlen = (hlen << 8) | static_cast<unsigned char>(raw[8 + i]);
            hstart = 12;
        } else {
            throw InputError(file + ": unsupported .npy version");
        }
        if (raw.size() < hstart + hlen)
            throw InputError(file + ": truncated .npy header");
        const std::string header = raw.substr(hstart, hlen);
        const std::string descr = npy_field(header, "descr", file);
        const std::string fortran = npy_field(header, "fortran_order", file);
        const std::string shape = npy_field(header, "shape", file);

        bool is_signed;
        std::size_t size;
        if (descr.size() == 5 && (descr[1] == '<' || descr[1] == '|')
            && (descr[2] == 'i' || descr[2] == 'u') && descr[3] >= '1' && descr[3] <= '8'
            && std::string("1248").find(descr[3]) != std::string::npos) {
            is_signed = descr[2] == 'i';
            size = std::size_t(descr[3] - '0');
        } else {
            throw InputError(file + ": .npy element type " + descr
                + " refused: little-endian integers (int8 to int64, uint8 to uint64) "
                  "only");
        }
        std::size_t count = 1, ndims = 0;
        {
            std::string dims = shape.substr(1, shape.size() - 2);
            std::istringstream ss(dims);
            std::string item;
            while (std::getline(ss, item, ',')) {
                item.erase(std::remove(item.begin(), item.end(), ' '), item.end());
                if (item.empty())
                    continue;
                char* end = nullptr;
                unsigned long long d = std::strtoull(item.c_str(), &end, 10);
                if (*end != '\0')
                    throw InputError(file + ": malformed .npy shape " + shape);
                if (d != 0 && count > SIZE_MAX / 16 / d)
                    throw InputError(file + ": .npy shape " + shape + " is too large");
                count *= std::size_t(d);
                ++ndims;
            }
        }
        if (fortran.find("True") != std::string::npos && ndims > 1)
            throw InputError(file + ": Fortran-ordered .npy arrays are refused; save in C order");
        const std::size_t data = hstart + hlen;
        if (raw.size() - data < count * size)
            throw InputError(file + ": .npy data shorter than its shape " + shape);
        w.values.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            uint64_t bits = 0;
            for (std::size_t b = 0; b < size; ++b)
                bits |= uint64_t(static_cast<unsigned char>(raw[data + i * size + b])) << (8 * b);
            bool fits;
            int64_t v;
            if (is_signed) {
                if (size < 8 && (bits >> (8 * size - 1)) & 1)
                    bits |= ~uint64_t(0) << (8 * size);
                std::memcpy(&v, &bits, sizeof v);
                fits = v >= min_of(width) && v <= max_of(width);
            } else {
                fits = bits <= uint64_t(max_of(width));
                v = int64_t(bits & uint64_t(INT64_MAX));
            }
            if (!fits) {
                std::ostringstream os;
                if (is_signed)
                    os << v;
                else
                    os << bits;
                throw InputError(file + ": element " + std::to_string(i) + ": value " + os.str()
                    + " does not fit in " + std::to_string(width) + " bits");
            }
            w.values.push_back(v);
        }
        return w;
    }

} // namespace

Words read_words(const std::string& file, Radix radix, int width)
{
    const std::string raw = slurp(file, "input");
    if (ends_with(file, ".npy"))
        return read_npy(file, raw, width);
    Words w;
    w.file = file;
    std::size_t line = 0, pos = 0;
    while (pos < raw.size()) {
        std::size_t nl = raw.find('\n', pos);
        if (nl == std::string::npos)
            nl = raw.size();
        std::string text = raw.substr(pos, nl - pos);
        pos = nl + 1;
        ++line;
        std::size_t cm = text.find("//");
        if (cm != std::string::npos)
            text.resize(cm);
        const char* ws = " \t\r\f\v";
        std::size_t b = text.find_first_not_of(ws);
        if (b == std::string::npos)
            continue;
        std::size_t e = text.find_last_not_of(ws);
        text = text.substr(b, e - b + 1);
        if (text.find_first_of(ws) != std::string::npos)
            throw InputError(
                where(file, line) + "expected one word per line, found '" + text + "'");
        if (text[0] == '@')
            throw InputError(where(file, line) + "address directives are not supported");
        int64_t v;
        std::string why;
        if (!parse_word(text, radix, width, v, why))
            throw InputError(where(file, line) + why + " (" + radix_name(radix) + " words of "
                + std::to_string(width) + " bits expected)");
        w.values.push_back(v);
        w.lines.push_back(line);
    }
    if (w.lines.empty())
        w.lines.push_back(line == 0 ? 1 : line);
    if (w.values.empty())
        w.lines.clear();
    return w;
}

OutputFile::OutputFile(const std::string& path, Radix radix)
    : path_(path)
    , radix_(radix)
    , npy_(ends_with(path, ".npy"))
{
    mpz_init(scratch_);
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        mpz_clear(scratch_);
        throw InputError(path + ": output is a folder");
    }
    tmp_ = path + ".tmpXXXXXX";
    int fd = mkstemp(&tmp_[0]);
    if (fd < 0) {
        int e = errno;
        mpz_clear(scratch_);
        throw InputError(path + ": cannot create output: " + std::strerror(e));
    }
    // mkstemp creates the file private; give it the permissions of an ordinary new file.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask); // on failure the file keeps the private mode
    fp_ = fdopen(fd, "wb");
    if (!fp_) {
        int e = errno;
        close(fd);
        unlink(tmp_.c_str());
        mpz_clear(scratch_);
        throw InputError(path + ": cannot create output: " + std::strerror(e));
    }
}

OutputFile::~OutputFile()
{
    if (fp_)
        std::fclose(fp_);
    if (!committed_)
        unlink(tmp_.c_str());
    mpz_clear(scratch_);
}

void OutputFile::put(const mpz_t value, int width)
{
    mpz_set(scratch_, value);
    // Outside [-2^(w-1), 2^(w-1)): reduce modulo 2^w into the signed range.
    if (mpz_sizeinbase(scratch_, 2) >= std::size_t(width)) {
        mpz_t lo, hi;
        mpz_inits(lo, hi, nullptr);
        mpz_set_ui(hi, 1);
        mpz_mul_2exp(hi, hi, mp_bitcnt_t(width - 1));
        mpz_neg(lo, hi);
        if (mpz_cmp(scratch_, lo) < 0 || mpz_cmp(scratch_, hi) >= 0) {
            if (wrapped_++ == 0)
                first_wrapped_ = count_;
            mpz_fdiv_r_2exp(scratch_, scratch_, mp_bitcnt_t(width));
            if (mpz_cmp(scratch_, hi) >= 0)
                mpz_submul_ui(scratch_, hi, 2);
        }
        mpz_clears(lo, hi, nullptr);
    }
    if (npy_) {
        if (width > 64)
            throw InputError(path_ + ": " + std::to_string(width)
                + "-bit words do not fit a .npy int64 array; write text output");
        npy_words_.push_back(mpz_get_si(scratch_));
    } else {
        std::string s = format_word(scratch_, radix_, width);
        s += '\n';
        std::fwrite(s.data(), 1, s.size(), fp_);
    }
    ++count_;
}

void OutputFile::put(int64_t value, int width)
{
    if (value < min_of(width) || value > max_of(width)) {
        if (wrapped_++ == 0)
            first_wrapped_ = count_;
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        bits &= (uint64_t(1) << width) - 1;
        if ((bits >> (width - 1)) & 1)
            bits |= ~uint64_t(0) << width;
        std::memcpy(&value, &bits, sizeof value);
    }
    if (npy_) {
        npy_words_.push_back(value);
    } else {
        std::string s = format_word(value, radix_, width);
        s += '\n';
        std::fwrite(s.data(), 1, s.size(), fp_);
    }
    ++count_;
}

void OutputFile::commit()
{
    if (npy_) {
        if (shape_.empty())
            shape_.push_back(count_);
        std::string shape = "(";
        std::size_t prod = 1;
        for (std::size_t i = 0; i < shape_.size(); ++i) {
            shape += (i ? ", " : "") + std::to_string(shape_[i]);
            prod *= shape_[i];
        }
        shape += shape_.size() == 1 ? ",)" : ")";
        if (prod != count_)
            throw ModelError(path_ + ": internal error: .npy shape does not match the word count");
        std::string header = "{'descr': '<i8', 'fortran_order': False, 'shape': " + shape + ", }";
        std::size_t total = 10 + header.size() + 1;
        header.append((64 - total % 64) % 64, ' ');
        header += '\n';
        std::string pre = "\x93NUMPY";
        pre += char(1);
        pre += char(0);
        pre += char(header.size() & 0xff);
        pre += char(header.size() >> 8);
        std::fwrite(pre.data(), 1, pre.size(), fp_);
        std::fwrite(header.data(), 1, header.size(), fp_);
        for (int64_t v : npy_words_) {
            unsigned char b[8];
            uint64_t u;
            std::memcpy(&u, &v, sizeof u);
            for (int i = 0; i < 8; ++i)
                b[i] = static_cast<unsigned char>(u >> (8 * i));
            std::fwrite(b, 1, 8, fp_);
        }
    }
    bool bad = std::ferror(fp_) != 0;
    bad = (std::fclose(fp_) != 0) || bad;
    fp_ = nullptr;
    if (bad)
        throw InputError(path_ + ": cannot write output: " + std::strerror(errno));
    if (std::rename(tmp_.c_str(), path_.c_str()) != 0)
        throw InputError(path_ + ": cannot write output: " + std::strerror(errno));
    committed_ = true;
}

} // namespace golden
