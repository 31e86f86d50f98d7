#include "ui/Formconfig.h"

#include "ui/Widgets.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

TConfigForm::TConfigForm(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Config");
    auto* v = new QVBoxLayout(this);
    auto* top = new QGridLayout;
    LocalPort = new QLineEdit;
    Edit1 = new QLineEdit;  // has no effect; kept for the familiar layout
    top->addWidget(boldLabel("Local Port"), 0, 0);
    top->addWidget(LocalPort, 0, 1);
    top->addWidget(boldLabel("Logon timeout"), 1, 0);
    top->addWidget(Edit1, 1, 1);
    top->addWidget(boldLabel("s"), 1, 2);
    v->addLayout(top);

    auto* gbMode = new QGroupBox("Mode");
    auto* g = new QGridLayout(gbMode);
    rbDirect = new QRadioButton("Direct");
    rbFastRelay = new QRadioButton("Fast Relay");
    rbRelay = new QRadioButton("Relay");
    g->addWidget(rbDirect, 0, 0);
    g->addWidget(rbFastRelay, 0, 1);
    g->addWidget(rbRelay, 0, 2);
    UserName = new QLineEdit;
    Password = new QLineEdit;
    limitUtf8Bytes(UserName, 15);
    passwordLimit_ = limitUtf8Bytes(Password, 15);
    UserName->setEnabled(false);
    Password->setEnabled(false);
    g->addWidget(new QLabel("User Name"), 1, 0);
    g->addWidget(UserName, 1, 1, 1, 2);
    g->addWidget(new QLabel("Password"), 2, 0);
    g->addWidget(Password, 2, 1, 1, 2);
    v->addWidget(gbMode);
    for (QRadioButton* rb : {rbDirect, rbFastRelay, rbRelay})
        connect(rb, &QRadioButton::toggled, this, [this, rb](bool on) {
            if (on) rbModeClick(rb);
        });

    auto* box = new QDialogButtonBox;
    QPushButton* btnOK = box->addButton("Ok", QDialogButtonBox::AcceptRole);
    QPushButton* btnCancel = box->addButton("Cancel", QDialogButtonBox::RejectRole);
    connect(btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    v->addWidget(box);
    setFixedSize(sizeHint());
}

void TConfigForm::rbModeClick(QRadioButton* clicked) {
    bool relay = clicked != rbDirect;
    UserName->setEnabled(relay);
    Password->setEnabled(relay);
}

void TConfigForm::fill(int portInUse, int netMode, const QString& user, const QString& pwd) {
    LocalPort->setText(QString::number(portInUse));
    (netMode == 1 ? rbFastRelay : netMode == 2 ? rbRelay : rbDirect)->setChecked(true);
    rbModeClick(netMode == 1 ? rbFastRelay : netMode == 2 ? rbRelay : rbDirect);
    if (netMode == 1 || netMode == 2) {
        UserName->setText(user);
        passwordLimit_->setMaxBytes(16);
        Password->setText(pwd);
    }
}

SettingsInput TConfigForm::input() const {
    SettingsInput in;
    in.localPort = LocalPort->text().toStdString();
    in.mode = rbDirect->isChecked() ? 0 : rbFastRelay->isChecked() ? 1 : 2;
    in.userName = UserName->text().toStdString();
    in.password = Password->text().toStdString();
    return in;
}
