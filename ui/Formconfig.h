#pragma once
// The settings dialog: local port, network mode, relay credentials.
#include <QDialog>

#include "app/Manager.h"

class QLineEdit;
class QRadioButton;
class Utf8BytesValidator;

class TConfigForm : public QDialog {
    Q_OBJECT
public:
    explicit TConfigForm(QWidget* parent = nullptr);
    void fill(int portInUse, int netMode, const QString& user, const QString& pwd);
    SettingsInput input() const;

    QLineEdit *LocalPort, *Edit1, *UserName, *Password;
    QRadioButton *rbDirect, *rbFastRelay, *rbRelay;

private:
    void rbModeClick(QRadioButton* clicked);
    Utf8BytesValidator* passwordLimit_;
};
