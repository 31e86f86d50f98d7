#pragma once
// The DTU properties dialog: port protocol, device number, comment and LED
// numbers (applied by the main window on "Ok"), and the management commands
// that act on the DTU at once.
#include <QDialog>
#include <memory>

#include "app/Manager.h"
#include "link/Mgmt.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

class TPropForm : public QDialog {
    Q_OBJECT
public:
    TPropForm(Manager& core, _tagDTU* dtu, int portNo, QWidget* parent = nullptr);
    // What editDtu sets before showing: the protocol (not a change), the
    // comment, and the relay layout (State and Advance hidden).
    void prepare(int serProto, const QString& comment, bool relayMode);
    std::shared_ptr<MgmtChannel> channel() const { return ch_; }
    PropResult result() const;

    void BtnGetStateClick();
    void btnGetCfgClick();
    void btnRestartClick();

    QTabWidget* pages;
    QWidget *TSPort, *TSDtu, *TSState, *TSAdv;
    QComboBox *cbProto, *cbBaudRate, *cbTimeOut;
    QLineEdit *DeviceID, *LEDNums, *MaxNetPacketLen, *HostAddress;
    QPlainTextEdit* Comment;
    QLabel *lblRSSI, *lblResultState, *lblResult;
    QPushButton *BtnGetState, *btnGetCfg, *btnRestart;

    bool protoChanged = false;
    bool fieldsChanged = false;
    bool cfgRead = false;

protected:
    bool eventFilter(QObject* o, QEvent* e) override;  // LEDNums key filter, Comment length

private:
    void FormShow();
    // Polls for the answer every 50 ms, the dialog staying responsive.
    // False on time-out (the tab's red label is shown) or when the dialog closed.
    bool waitAnswer(QLabel* timeoutLabel);
    void message(const char* text, const char* caption);
    void header(uint8_t* buf, uint8_t type);  // the DTU's number and the request type

    Manager& core_;
    _tagDTU* dtu_;
    int portNo_;
    std::shared_ptr<MgmtChannel> ch_;
    uint8_t stateData_[DTU_STATE_SIZE] = {};
    uint8_t dtuCfg_[DTU_CONFIG_SIZE] = {};
    bool busy_ = false;
    bool closed_ = false;
};
