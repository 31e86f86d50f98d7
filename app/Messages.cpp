#include "app/Messages.h"

#include <cstdio>

MsgAnswer LoggingMessageSink::show(const std::string& text, const std::string& caption, MsgIcon icon,
                                   MsgButtons buttons) {
    std::string line = text;  // one line, so a log keeps one message per line
    for (char& ch : line)
        if (ch == '\r' || ch == '\n') ch = ' ';
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), line.c_str());
    std::fflush(stderr);
    return next_.show(text, caption, icon, buttons);
}
