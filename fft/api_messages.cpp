#include "api_messages.h"

#include <cstdio>
#include <locale>

namespace kfft {

MessageLine::MessageLine() { text_.imbue(std::locale::classic()); }

void emit_line(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

}  // namespace kfft
