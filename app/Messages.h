#pragma once
// Every message the user must see goes through this interface, so that the
// window shows it and tests read its exact text and caption.
#include <string>

// The conversion error users know from the toolkit, for text that is not a number.
inline std::string notAnInteger(const std::string& text) { return "'" + text + "' is not a valid integer value"; }

enum class MsgIcon { None, Warning, Error, Exclamation };
enum class MsgButtons { Ok, YesNo };
enum class MsgAnswer { Ok, Yes, No };

class MessageSink {
public:
    virtual ~MessageSink() = default;
    virtual MsgAnswer show(const std::string& text, const std::string& caption, MsgIcon icon, MsgButtons buttons) = 0;
};

// Writes the caption and text as one line to standard error, then asks `next`.
class LoggingMessageSink : public MessageSink {
public:
    explicit LoggingMessageSink(MessageSink& next) : next_(next) {}
    MsgAnswer show(const std::string& text, const std::string& caption, MsgIcon icon, MsgButtons buttons) override;

private:
    MessageSink& next_;
};

// Passes messages on to a sink that can be changed: while a command from
// the shell runs, its messages go to that command instead of the window.
class MessageRouter : public MessageSink {
public:
    explicit MessageRouter(MessageSink& to) : to_(&to) {}
    MessageSink* route(MessageSink* to) {
        MessageSink* before = to_;
        to_ = to;
        return before;
    }
    MsgAnswer show(const std::string& text, const std::string& caption, MsgIcon icon, MsgButtons buttons) override {
        return to_->show(text, caption, icon, buttons);
    }

private:
    MessageSink* to_;
};
