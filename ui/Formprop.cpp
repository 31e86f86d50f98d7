#include "ui/Formprop.h"

#include "ui/Widgets.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <cstring>

#include "link/LinkProtocol.h"

namespace {
QLabel* redLabel() {
    auto* l = new QLabel("Response timeout!");
    l->setStyleSheet("color: red;");
    l->hide();
    return l;
}
constexpr int COMMENT_MAX = 30;
}  // namespace

TPropForm::TPropForm(Manager& core, _tagDTU* dtu, int portNo, QWidget* parent)
    : QDialog(parent), core_(core), dtu_(dtu), portNo_(portNo), ch_(std::make_shared<MgmtChannel>(dtu)) {
    setWindowTitle("Properties");
    auto* v = new QVBoxLayout(this);
    pages = new QTabWidget;
    v->addWidget(pages);

    TSPort = new QWidget;
    auto* fp = new QFormLayout(TSPort);
    cbProto = new QComboBox;
    cbProto->addItems({"Unknow", "No-Ack Protocol", "Kestrel Protocol", "Osprey/Farcomm Protocol", "Harrier Protocol"});
    fp->addRow(boldLabel("Protocol"), cbProto);
    pages->addTab(TSPort, QStringLiteral("COM%1").arg(portNo));

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
    LEDNums->setEnabled(serProto >= 2);
    Comment->setPlainText(comment);
    pages->setCurrentWidget(TSDtu);
    pages->setTabVisible(pages->indexOf(TSState), !relayMode);
    pages->setTabVisible(pages->indexOf(TSAdv), !relayMode);
    // Only what the user does from here on counts as a change.
    connect(cbProto, &QComboBox::currentIndexChanged, this, [this](int i) {
        LEDNums->setEnabled(i >= 2);
        protoChanged = true;
    });
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
    if (!dtu_) return;
    std::lock_guard<std::mutex> lk(core_.registryLock());
    DeviceID->setText(QString::fromUtf8(dtu_->devNo));
    LEDNums->setText(QString::fromStdString(ledNumsText(dtu_->ledMap)));
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
    return r;
}

void TPropForm::message(const char* text, const char* caption) {
    core_.messages().show(text, caption, MsgIcon::None, MsgButtons::Ok);
}

bool TPropForm::waitAnswer(QLabel* timeoutLabel) {
    const int seconds = cbTimeOut->currentIndex() + 1;
    for (int i = 0; ch_->waiting();) {
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
        if (closed_) {
            ch_->cancel();
            return false;
        }
        if (++i > 20 * seconds) break;
    }
    if (ch_->cancel()) {
        timeoutLabel->show();
        return false;
    }
    return true;
}

void TPropForm::BtnGetStateClick() {
    if (!dtu_ || busy_) return;
    busy_ = true;
    lblResultState->hide();
    uint8_t req[LINK_HEADER_SIZE];
    header(req, DtuGetState);
    ch_->begin();
    core_.sendToDtu(dtu_, req, sizeof req);
    if (waitAnswer(lblResultState)) {
        if (ch_->respLen == DTU_STATE_SIZE) {
            std::memcpy(stateData_, ch_->ioBuf, DTU_STATE_SIZE);
            lblRSSI->setText(QString::number(stateData_[71]));
        } else {
            message("Get state failed, please retry!", "Error");
        }
    }
    busy_ = false;
}

void TPropForm::btnGetCfgClick() {
    if (!dtu_ || busy_) return;
    busy_ = true;
    lblResult->hide();
    uint8_t* io = ch_->ioBuf;
    int len = LINK_HEADER_SIZE;
    const bool save = cfgRead;
    header(io, save ? DtuSetConfig : DtuGetConfig);
    if (save) {
        int i = cbBaudRate->currentIndex();
        if (i >= 0) putU32(dtuCfg_ + CFG_BAUD, baudRates[i]);  // no entry chosen: the rate read goes back
        bool ok = false;
        qlonglong maxLen = MaxNetPacketLen->text().trimmed().toLongLong(&ok);
        if (!ok) {
            core_.messages().show(notAnInteger(MaxNetPacketLen->text().toStdString()), "Error", MsgIcon::None,
                                  MsgButtons::Ok);
            busy_ = false;
            return;
        }
        putU16(dtuCfg_ + CFG_MAXLEN, static_cast<uint16_t>(maxLen));
        QByteArray host = HostAddress->text().toLatin1().left(31);
        std::memcpy(dtuCfg_ + CFG_HOST, host.constData(), static_cast<size_t>(host.size()));
        dtuCfg_[CFG_HOST + host.size()] = 0;
        std::memcpy(io + LINK_HEADER_SIZE, dtuCfg_, DTU_CONFIG_SIZE);
        len += DTU_CONFIG_SIZE;
    }
    // The request is copied out before the wait starts: the answer lands in the same buffer.
    uint8_t req[LINK_HEADER_SIZE + DTU_CONFIG_SIZE];
    std::memcpy(req, io, static_cast<size_t>(len));
    ch_->begin();
    core_.sendToDtu(dtu_, req, len);
    if (waitAnswer(lblResult)) {
        if (save) {
            if (ch_->ioBuf[0] != 0)
                message("Save configuration sucessfully!", "OK");
            else
                message("Save configuration failed, please retry!", "Error");
        } else if (ch_->respLen == DTU_CONFIG_SIZE) {
            std::memcpy(dtuCfg_, ch_->ioBuf, DTU_CONFIG_SIZE);
            uint32_t baud = getU32(dtuCfg_ + CFG_BAUD);
            for (int i = 0; i < 5; ++i)
                if (baudRates[i] == baud) cbBaudRate->setCurrentIndex(i);
            MaxNetPacketLen->setText(QString::number(getU16(dtuCfg_ + CFG_MAXLEN)));
            const char* host = reinterpret_cast<const char*>(dtuCfg_ + CFG_HOST);
            HostAddress->setText(QString::fromLatin1(host, static_cast<int>(strnlen(host, CFG_HOST_SIZE))));
            cfgRead = true;
            btnGetCfg->setText("Save Configuration");
        } else {
            message("Get configuration failed, please retry!", "Error");
        }
    }
    busy_ = false;
}

void TPropForm::header(uint8_t* buf, uint8_t type) {
    {
        std::lock_guard<std::mutex> lk(core_.registryLock());  // a rename may be under way
        putDevNo(buf, dtu_->devNo);
    }
    buf[TYPE_OFFSET] = type;
}

void TPropForm::btnRestartClick() {
    if (!dtu_) return;
    uint8_t req[LINK_HEADER_SIZE];  // a buffer of its own: ioBuf may hold an answer
    header(req, DtuRestart);
    core_.sendToDtu(dtu_, req, sizeof req);
    message("Restart command has been sent, please wait DTU logon.", "Ok");
}
