#pragma once
// Small widget helpers shared by the windows.
#include <QLabel>

inline QLabel* boldLabel(const QString& text) {
    auto* l = new QLabel(text);
    QFont f = l->font();
    f.setBold(true);
    l->setFont(f);
    return l;
}
