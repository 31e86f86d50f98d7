#pragma once
// Message boxes on the window's thread.
#include "app/Messages.h"

class QWidget;

class QtMessageSink : public MessageSink {
public:
    explicit QtMessageSink(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }
    MsgAnswer show(const std::string& text, const std::string& caption, MsgIcon icon, MsgButtons buttons) override;

private:
    QWidget* parent_;
};
