#include "api_messages.h"

#include <locale>

#include "message_sink.h"

namespace kfft {

MessageLine::MessageLine() { text_.imbue(std::locale::classic()); }

void emit_line(const std::string& text)
{
    deliver_line(text.data(), text.size(), text.compare(0, 6, "ERROR:") == 0);
}

} // namespace kfft
