#pragma once
// The traffic monitor: a live list of what the manager sends and receives,
// decoded, for every DTU or one port or DTU. It holds no lock and reads no
// packet bytes itself: the core hands it decoded entries four times a second.
#include <QWidget>
#include <memory>

#include "app/Manager.h"
#include "app/TrafficMonitor.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTimer;
class MonitorModel;

class TMonitorForm : public QWidget {
    Q_OBJECT
public:
    TMonitorForm(Manager& core, QWidget* parent = nullptr);
    ~TMonitorForm() override;

    // Shows one DTU only (its port chosen too); an empty number: every DTU.
    void showDtu(int port, const std::string& devNo);
    void TimerMonitorTimer();  // takes what came; public so tests need not wait for the timer
    void btnClearClick();
    void btnCopyClick();  // the selected entries, or every shown one, as tab-separated lines
    // Writes every entry held as a pcap file; false (and a message) when it cannot.
    bool saveCapture(const QString& path);
    MonitorModel& model() { return *model_; }

    QComboBox* cbPort;
    QLineEdit *DeviceFilter, *TextFilter;
    QCheckBox* cbPause;
    QPushButton *btnClear, *btnCopy, *btnSave;
    QTableView* EntryList;
    QPlainTextEdit* HexView;
    QLabel* Counts;

private:
    void applyFilter();
    void showSelected();

    Manager& core_;
    TrafficMonitor monitor_;
    MonitorModel* model_;
    QTimer* TimerMonitor;
};
