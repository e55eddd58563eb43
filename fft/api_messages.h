// Message lines of the FFT model: one line per message, on the standard error stream or the
// calling thread's sink (message_sink.h).
#ifndef KFFT_API_MESSAGES_H
#define KFFT_API_MESSAGES_H

#include <sstream>
#include <string>

namespace kfft {

// Builds one message line with the classic locale (integers in decimal, doubles in the default
// stream format with six significant digits), whatever locale the calling program set.
class MessageLine {
public:
    MessageLine();
    template <typename T> MessageLine& operator<<(const T& v)
    {
        text_ << v;
        return *this;
    }
    std::string str() const { return text_.str(); }

private:
    std::ostringstream text_;
};

// Delivers text as one line to the calling thread's sink, else writes it and a newline to the
// standard error stream and flushes it. Lines starting "ERROR:" are errors, others warnings.
void emit_line(const std::string& text);
inline void emit_line(const MessageLine& line) { emit_line(line.str()); }

} // namespace kfft

#endif
