#include "ui/Formmonitor.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

#include "app/TrafficFiles.h"
#include "ui/MonitorModel.h"

TMonitorForm::TMonitorForm(Manager& core, QWidget* parent)
    : QWidget(parent, Qt::Window), core_(core), monitor_(core.traffic(), core.registry()) {
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle("Traffic monitor");
    model_ = new MonitorModel(this);

    cbPort = new QComboBox;
    cbPort->addItem("All ports", 0);
    for (int i = 1; i < PORT_COUNT; ++i) cbPort->addItem(QStringLiteral("COM%1").arg(i), i);
    DeviceFilter = new QLineEdit;
    DeviceFilter->setPlaceholderText("Device No.");
    DeviceFilter->setMaxLength(DEVNO_MAX);
    TextFilter = new QLineEdit;
    TextFilter->setPlaceholderText("Filter: type, address, frame");
    cbPause = new QCheckBox("Pause");
    btnClear = new QPushButton("Clear");
    btnCopy = new QPushButton("Copy");
    btnSave = new QPushButton("Save capture...");
    auto* bar = new QHBoxLayout;
    bar->addWidget(cbPort);
    bar->addWidget(DeviceFilter);
    bar->addWidget(TextFilter, 1);
    for (QWidget* w : {static_cast<QWidget*>(cbPause), static_cast<QWidget*>(btnClear),
                       static_cast<QWidget*>(btnCopy), static_cast<QWidget*>(btnSave)})
        bar->addWidget(w);

    EntryList = new QTableView;
    EntryList->setModel(model_);
    EntryList->setSelectionBehavior(QAbstractItemView::SelectRows);
    EntryList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    EntryList->verticalHeader()->hide();
    EntryList->verticalHeader()->setDefaultSectionSize(EntryList->fontMetrics().height() + 4);
    EntryList->horizontalHeader()->setStretchLastSection(true);
    EntryList->setWordWrap(false);
    const int widths[] = {90, 30, 140, 150, 110, 55, 190};
    for (int c = 0; c < MonitorModel::ColData; ++c) EntryList->setColumnWidth(c, widths[c]);
    HexView = new QPlainTextEdit;
    HexView->setReadOnly(true);
    HexView->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    auto* split = new QSplitter(Qt::Vertical);
    split->addWidget(EntryList);
    split->addWidget(HexView);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    Counts = new QLabel;

    auto* v = new QVBoxLayout(this);
    v->addLayout(bar);
    v->addWidget(split, 1);
    v->addWidget(Counts);

    connect(cbPort, &QComboBox::currentIndexChanged, this, [this] { applyFilter(); });
    connect(DeviceFilter, &QLineEdit::textChanged, this, [this] { applyFilter(); });
    connect(TextFilter, &QLineEdit::textChanged, this, [this] { applyFilter(); });
    connect(btnClear, &QPushButton::clicked, this, [this] { btnClearClick(); });
    connect(btnCopy, &QPushButton::clicked, this, [this] { btnCopyClick(); });
    connect(btnSave, &QPushButton::clicked, this, [this] {
        QString path = QFileDialog::getSaveFileName(this, "Save capture", "capture.pcap", "pcap (*.pcap)");
        if (!path.isEmpty()) saveCapture(path);
    });
    connect(EntryList->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] { showSelected(); });

    TimerMonitor = new QTimer(this);
    TimerMonitor->setInterval(250);
    connect(TimerMonitor, &QTimer::timeout, this, [this] { TimerMonitorTimer(); });
    TimerMonitor->start();
    resize(1000, 560);
    TimerMonitorTimer();
}

TMonitorForm::~TMonitorForm() = default;

void TMonitorForm::showDtu(int port, const std::string& devNo) {
    QSignalBlocker a(cbPort), b(DeviceFilter);
    cbPort->setCurrentIndex(std::max(0, cbPort->findData(port)));
    DeviceFilter->setText(QString::fromStdString(devNo));
    applyFilter();
}

void TMonitorForm::applyFilter() {
    MonitorFilter f;
    f.port = cbPort->currentData().toInt();
    f.devNo = DeviceFilter->text().toStdString();
    f.text = TextFilter->text().toStdString();
    model_->setFilter(std::move(f));
    showSelected();
}

void TMonitorForm::TimerMonitorTimer() {
    // Paused: the core's ring keeps the newest entries until the list goes on.
    if (!cbPause->isChecked()) {
        std::vector<PacketView> fresh;
        monitor_.take(fresh);
        QScrollBar* bar = EntryList->verticalScrollBar();
        const bool atEnd = bar->value() == bar->maximum();
        model_->append(std::move(fresh));
        if (atEnd) EntryList->scrollToBottom();
    }
    QString counts = QStringLiteral("%1 shown of %2 held (at most %3)")
                         .arg(model_->rowCount())
                         .arg(model_->held())
                         .arg(MonitorModel::LIMIT);
    if (uint64_t missed = monitor_.missed()) counts += QStringLiteral("; %1 came too fast to be listed").arg(missed);
    Counts->setText(counts);
}

void TMonitorForm::btnClearClick() {
    model_->clear();
    HexView->clear();
}

void TMonitorForm::btnCopyClick() {
    std::set<int> rows;
    for (const QModelIndex& i : EntryList->selectionModel()->selectedRows()) rows.insert(i.row());
    if (rows.empty())
        for (int r = 0; r < model_->rowCount(); ++r) rows.insert(r);
    std::string text;
    for (int r : rows) text += entryLine(model_->shown(r)) + '\n';
    QApplication::clipboard()->setText(QString::fromStdString(text));
}

bool TMonitorForm::saveCapture(const QString& path) {
    std::string error;
    if (::saveCapture(path.toStdString(), model_->records(), error)) return true;
    core_.messages().show(error, "Error", MsgIcon::None, MsgButtons::Ok);
    return false;
}

void TMonitorForm::showSelected() {
    const QModelIndex cur = EntryList->currentIndex();
    if (!cur.isValid() || cur.row() >= model_->rowCount()) {
        HexView->clear();
        return;
    }
    const PacketView& v = model_->shown(cur.row());
    std::string head = entryLine(v);
    head.resize(std::min(head.size(), head.rfind('\t')));  // the hex follows in full below
    std::replace(head.begin(), head.end(), '\t', ' ');
    HexView->setPlainText(QString::fromStdString(head + "\n" + hexDump(v.rec.bytes.data(), v.rec.bytes.size())));
}
