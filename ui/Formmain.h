#pragma once
// The main window: a thin view over the core. It shows the rows, forwards
// clicks and menu commands, and runs the two once-a-second timers.
#include <QMainWindow>
#include <QPointer>
#include <memory>

#include "app/Manager.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class TMonitorForm;
class QTreeView;
class VSPListModel;

class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    // `exeDir`: where Config.xml and the ports/ folder live.
    TMainForm(const QString& exeDir, MessageSink& msg, Clock& clock, ManagerOptions extra = {});
    ~TMainForm() override;

    void FormCreate();  // start-up; then check core().terminateRequested
    Manager& core() { return *core_; }
    MessageRouter& router() { return router_; }
    VSPListModel& model() { return *model_; }

    // Window actions, public so that tests drive them as a user would.
    void btnCreatePortDtuClick();
    void BtnDelDtuClick();
    void BtnEditPortDtuClick();
    void BtnSelectAllClick();
    void BtnDeselectAllClick();
    void BtnSaveSelectClick();
    void VSPListViewClick();
    void VSPListViewDblClick();
    void mnuConfigClick();
    void mnuExitClick();
    // The traffic monitor, made once and brought to the front; from a row's
    // context menu with that DTU (or a group's port) chosen.
    TMonitorForm* mnuMonitorClick();
    TMonitorForm* monitorRow(const QModelIndex& index);
    void TimerRuningTimer();
    void TimerLogonTOTimer();
    void selectRows(const std::vector<DtuId>& rows);  // replaces the list's selection
    std::vector<DtuId> selectedRows() const;          // in list order
    void bringToFront();  // shown, restored and active, also from minimised
    void refresh();       // the list and the controls follow the core
    // Properties dialog factory: tests replace it to answer the dialog.
    std::function<int(class TPropForm&)> execPropForm;
    std::function<int(class TConfigForm&)> execConfigForm;

    QTreeView* VSPListView;
    QLineEdit* DeviceID;
    QComboBox* CommPort;
    QLineEdit* Comment;
    QPushButton *BtnSelectAll, *BtnDeselectAll, *BtnSaveSelect;
    QPushButton *btnCreatePortDtu, *BtnEditPortDtu, *BtnDelDtu;
    QLabel* StatusBar;
    QLabel* PortPath;  // the selected row's port, for the user's serial program

protected:
    void closeEvent(QCloseEvent* e) override;  // minimises: only "E&xit" ends the program

private:
    void build();
    void editDtu();
    void syncFromCore();  // status, caption, buttons, timers, termination
    std::vector<QModelIndex> selectedItems() const;  // in list order
    void showPortPath();

    LoggingMessageSink log_;
    MessageRouter router_{log_};
    std::unique_ptr<Manager> core_;
    VSPListModel* model_;
    QTimer *TimerLogonTO, *TimerRuning;
    std::vector<DtuId> keepSelected_;  // across a model reset: ids, as the rows may be gone
    QPointer<TMonitorForm> monitorForm_;  // deleted when closed
};
