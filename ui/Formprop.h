#pragma once
// The DTU properties dialog: port protocol, device number, comment and LED
// numbers (applied by the main window on "Ok"), and the management commands
// that act on the DTU at once.
#include <QDialog>
#include <memory>

#include "app/Manager.h"
#include "app/MgmtCommands.h"

class QCheckBox;

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;

class TPropForm : public QDialog {
    Q_OBJECT
public:
    TPropForm(Manager& core, const DtuView& dtu, QWidget* parent = nullptr);
    // What editDtu sets before showing: the protocol (not a change), the
    // comment, and the relay layout (State and Advance hidden).
    void prepare(int serProto, const QString& comment, bool relayMode);
    std::shared_ptr<MgmtChannel> channel() const { return cmds_.channel(); }
    PropResult result() const;

    void BtnGetStateClick();
    void btnGetCfgClick();
    void btnRestartClick();

    QTabWidget* pages;
    QWidget *TSPort, *TSDtu, *TSState, *TSAdv;
    QComboBox *cbProto, *cbBaudRate, *cbTimeOut;
    QLineEdit *DeviceID, *LEDNums, *MaxNetPacketLen, *HostAddress;
    QPlainTextEdit* Comment;
    QCheckBox* cbLineGap;
    QLabel *lblRSSI, *lblResultState, *lblResult;
    QPushButton *BtnGetState, *btnGetCfg, *btnRestart;

    bool protoChanged = false;
    bool fieldsChanged = false;
    bool lineGapChanged = false;

protected:
    bool eventFilter(QObject* o, QEvent* e) override;  // LEDNums key filter, Comment length

private:
    void FormShow();
    int waitSeconds() const;

    const DtuView dtu_;
    MgmtCommands cmds_;
    bool closed_ = false;
};
