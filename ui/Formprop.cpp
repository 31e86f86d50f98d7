#include "ui/Formprop.h"

#include "ui/Widgets.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {
QLabel* redLabel() {
    auto* l = new QLabel("Response timeout!");
    l->setStyleSheet("color: red;");
    l->hide();
    return l;
}
constexpr int COMMENT_MAX = 30;
}  // namespace

TPropForm::TPropForm(Manager& core, const DtuView& dtu, QWidget* parent)
    : QDialog(parent), dtu_(dtu), cmds_(core, dtu.id, [this] {
          pumpEvents50ms();
          return !closed_;
      }) {
    setWindowTitle("Properties");
    auto* v = new QVBoxLayout(this);
    pages = new QTabWidget;
    v->addWidget(pages);

    TSPort = new QWidget;
    auto* fp = new QFormLayout(TSPort);
    cbProto = new QComboBox;
    cbProto->addItems({"Unknow", "No-Ack Protocol", "Kestrel Protocol", "Osprey/Farcomm Protocol", "Harrier Protocol"});
    fp->addRow(boldLabel("Protocol"), cbProto);
    // Off: a burst leaves after 50 ms of silence, as always.
    cbLineGap = new QCheckBox("End bursts at line speed");
    cbLineGap->setToolTip("Unknow and No-Ack: send after 3.5 characters of silence at the baud rate the program set (at least 2 ms)");
    fp->addRow(cbLineGap);
    pages->addTab(TSPort, QStringLiteral("COM%1").arg(dtu.portNo));

    TSDtu = new QWidget;
    auto* fd = new QFormLayout(TSDtu);
    DeviceID = new QLineEdit;
    limitUtf8Bytes(DeviceID, DEVNO_MAX);
    Comment = new QPlainTextEdit;
    Comment->setFixedHeight(48);
    LEDNums = new QLineEdit;
    LEDNums->setMaxLength(32);
    LEDNums->setEnabled(false);
    fd->addRow(boldLabel("Device No."), DeviceID);
    fd->addRow(boldLabel("Comment"), new QLabel("( 30s )"));
    fd->addRow(Comment);
    fd->addRow(boldLabel("LED Nums"), LEDNums);
    fd->addRow(new QLabel("e.g. 0,9,21,... No space"));
    pages->addTab(TSDtu, "DTU");

    TSState = new QWidget;
    auto* fs = new QFormLayout(TSState);
    lblRSSI = new QLabel("99");
    lblResultState = redLabel();
    BtnGetState = new QPushButton("Get State");
    fs->addRow(new QLabel("RSSI"), lblRSSI);
    fs->addRow(lblResultState);
    fs->addRow(BtnGetState);
    pages->addTab(TSState, "State");

    TSAdv = new QWidget;
    auto* fa = new QFormLayout(TSAdv);
    cbBaudRate = new QComboBox;
    MaxNetPacketLen = new QLineEdit;
    MaxNetPacketLen->setMaxLength(31);
    HostAddress = new QLineEdit;
    HostAddress->setMaxLength(31);
    cbTimeOut = new QComboBox;
    for (int i = 1; i <= 9; ++i) cbTimeOut->addItem(QString::number(i));
    cbTimeOut->setCurrentIndex(2);
    lblResult = redLabel();
    btnGetCfg = new QPushButton("Get Configuration");
    btnRestart = new QPushButton("Restart");
    fa->addRow(new QLabel("Serial baud rate"), cbBaudRate);
    fa->addRow(new QLabel("Max GPRS packet length"), MaxNetPacketLen);
    fa->addRow(new QLabel("( <1400 )"));
    fa->addRow(new QLabel("Host address"), HostAddress);
    fa->addRow(new QLabel("Wait time(s)"), cbTimeOut);
    fa->addRow(lblResult);
    fa->addRow(btnGetCfg, btnRestart);
    pages->addTab(TSAdv, "Advance");

    auto* box = new QDialogButtonBox;
    QPushButton* ok = box->addButton("Ok", QDialogButtonBox::AcceptRole);
    QPushButton* cancel = box->addButton("Cancel", QDialogButtonBox::RejectRole);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    v->addWidget(box);
    setFixedSize(QSize(304, 253).expandedTo(minimumSizeHint()));

    LEDNums->installEventFilter(this);
    connect(BtnGetState, &QPushButton::clicked, this, [this] { BtnGetStateClick(); });
    connect(btnGetCfg, &QPushButton::clicked, this, [this] { btnGetCfgClick(); });
    connect(btnRestart, &QPushButton::clicked, this, [this] { btnRestartClick(); });
    connect(this, &QDialog::finished, this, [this] { closed_ = true; });
    FormShow();
}

void TPropForm::prepare(int serProto, const QString& comment, bool relayMode) {
    cbProto->setCurrentIndex(serProto);
    cbLineGap->setChecked(dtu_.lineGap);
    cbLineGap->setEnabled(serProto <= 1);
    LEDNums->setEnabled(serProto >= 2);
    Comment->setPlainText(comment);
    pages->setCurrentWidget(TSDtu);
    pages->setTabVisible(pages->indexOf(TSState), !relayMode);
    pages->setTabVisible(pages->indexOf(TSAdv), !relayMode);
    // Only what the user does from here on counts as a change.
    connect(cbProto, &QComboBox::currentIndexChanged, this, [this](int i) {
        LEDNums->setEnabled(i >= 2);
        cbLineGap->setEnabled(i <= 1);
        protoChanged = true;
    });
    connect(cbLineGap, &QCheckBox::toggled, this, [this] { lineGapChanged = true; });
    auto changed = [this] { fieldsChanged = true; };
    connect(DeviceID, &QLineEdit::textChanged, this, changed);
    connect(LEDNums, &QLineEdit::textChanged, this, changed);
    connect(Comment, &QPlainTextEdit::textChanged, this, [this, changed] {
        QString t = Comment->toPlainText();
        if (t.size() > COMMENT_MAX) {
            Comment->setPlainText(t.left(COMMENT_MAX));
            Comment->moveCursor(QTextCursor::End);
        }
        changed();
    });
}

void TPropForm::FormShow() {
    if (!dtu_.id) return;
    DeviceID->setText(QString::fromStdString(dtu_.devNo));
    LEDNums->setText(QString::fromStdString(dtu_.ledNums));
    for (uint32_t rate : baudRates) cbBaudRate->addItem(QString::number(rate));
    cbBaudRate->setCurrentIndex(-1);
}

bool TPropForm::eventFilter(QObject* o, QEvent* e) {
    if (o == LEDNums && e->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(e);
        QString t = k->text();
        QChar c = t.isEmpty() ? QChar() : t.at(0);
        if (!c.isPrint()) return false;  // navigation and editing keys: Tab, Backspace, arrows, shortcuts
        return !(c.isDigit() && c.unicode() < 128) && c != ',';
    }
    return QDialog::eventFilter(o, e);
}

PropResult TPropForm::result() const {
    PropResult r;
    r.protoChanged = protoChanged;
    r.proto = cbProto->currentIndex();
    r.fieldsChanged = fieldsChanged;
    r.devNo = DeviceID->text().toStdString();
    r.ledNums = LEDNums->text().toStdString();
    r.comment = Comment->toPlainText().toStdString();
    r.lineGapChanged = lineGapChanged;
    r.lineGap = cbLineGap->isChecked();
    return r;
}

int TPropForm::waitSeconds() const { return cbTimeOut->currentIndex() + 1; }

void TPropForm::BtnGetStateClick() {
    if (!dtu_.id || cmds_.busy()) return;
    lblResultState->hide();
    MgmtCommands::Outcome r = cmds_.getState(waitSeconds());
    if (r == MgmtCommands::Outcome::Timeout) lblResultState->show();
    if (r == MgmtCommands::Outcome::Done) lblRSSI->setText(QString::number(cmds_.rssi()));
}

void TPropForm::btnGetCfgClick() {
    if (!dtu_.id || cmds_.busy()) return;
    lblResult->hide();
    const bool reading = !cmds_.cfgRead();
    MgmtCommands::Outcome r = cmds_.getOrSaveConfig(waitSeconds(), cbBaudRate->currentIndex(),
                                                    MaxNetPacketLen->text().toStdString(),
                                                    HostAddress->text().toLatin1().toStdString());
    if (r == MgmtCommands::Outcome::Timeout) lblResult->show();
    if (r != MgmtCommands::Outcome::Done || !reading) return;
    const DtuConfig& cfg = cmds_.config();
    for (int i = 0; i < 5; ++i)
        if (baudRates[i] == cfg.baudRate) cbBaudRate->setCurrentIndex(i);
    MaxNetPacketLen->setText(QString::number(cfg.maxPacketLen));
    HostAddress->setText(QString::fromLatin1(cfg.hostText()));
    btnGetCfg->setText("Save Configuration");
}

void TPropForm::btnRestartClick() {
    if (dtu_.id) cmds_.restart();
}
