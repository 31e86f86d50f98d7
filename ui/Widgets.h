#pragma once
// Small widget helpers shared by the windows.
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>
#include <QValidator>

inline QLabel* boldLabel(const QString& text) {
    auto* l = new QLabel(text);
    QFont f = l->font();
    f.setBold(true);
    l->setFont(f);
    return l;
}

// Limits what can be typed by UTF-8 bytes, the size of the field the text
// goes into, so that what is shown is what is stored or sent. Text set by
// the program is kept whole.
class Utf8BytesValidator : public QValidator {
public:
    Utf8BytesValidator(int maxBytes, QObject* parent) : QValidator(parent), max_(maxBytes) {}
    void setMaxBytes(int maxBytes) { max_ = maxBytes; }
    State validate(QString& input, int&) const override {
        return input.toUtf8().size() <= max_ ? Acceptable : Invalid;
    }

private:
    int max_;
};

inline Utf8BytesValidator* limitUtf8Bytes(QLineEdit* edit, int maxBytes) {
    auto* v = new Utf8BytesValidator(maxBytes, edit);
    edit->setValidator(v);
    return v;
}

// 50 ms of the event loop: the window stays responsive while a command waits.
inline void pumpEvents50ms() {
    QEventLoop loop;
    QTimer::singleShot(50, &loop, &QEventLoop::quit);
    loop.exec();
}
