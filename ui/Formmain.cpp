#include "ui/Formmain.h"

#include "ui/Widgets.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QStatusBar>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/Formconfig.h"
#include "ui/Formmonitor.h"
#include "ui/Formprop.h"
#include "ui/VSPListModel.h"
#include "vsp/PtyPort.h"

namespace {
// "Last Logon Time" must show its whole text in the font in use.
int timeColumnWidth(const QTreeView& view) {
    const QFontMetrics fm = view.fontMetrics();
    QChar widest = '0';
    for (char c = '1'; c <= '9'; ++c)
        if (fm.horizontalAdvance(QChar(c)) > fm.horizontalAdvance(widest)) widest = QChar(c);
    QString sample = QString::fromLatin1(NEVER).replace('0', widest);
    // The item's text margins on both sides, and the grid line.
    const int margin = view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) + 1;
    return fm.horizontalAdvance(sample) + 2 * margin + 1;
}
}  // namespace

TMainForm::TMainForm(const QString& exeDir, MessageSink& msg, Clock& clock, ManagerOptions extra) : log_(msg) {
    ManagerOptions o = std::move(extra);
    o.cfgFileName = (exeDir + "/Config.xml").toStdString();
    if (!o.makePort) {
        o.makePort = ptyPortMaker((exeDir + "/ports").toStdString());
    }
    core_ = std::make_unique<Manager>(router_, clock, std::move(o));
    model_ = new VSPListModel(*core_, exeDir + "/ports", this);
    execPropForm = [](TPropForm& f) { return f.exec(); };
    execConfigForm = [](TConfigForm& f) { return f.exec(); };
    build();
}

TMainForm::~TMainForm() {
    delete monitorForm_;  // it watches the core, which goes before the window's children
    TimerLogonTO->stop();
    TimerRuning->stop();
    core_->FormDestroy();
}

void TMainForm::build() {
    setWindowTitle(QString::fromStdString(core_->caption));
    auto* central = new QWidget;
    auto* v = new QVBoxLayout(central);
    v->setContentsMargins(0, 0, 0, 0);

    VSPListView = new QTreeView;
    VSPListView->setModel(model_);
    VSPListView->setSelectionMode(QAbstractItemView::ExtendedSelection);
    VSPListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    VSPListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    VSPListView->setSortingEnabled(false);
    VSPListView->setItemsExpandable(false);
    VSPListView->setRootIsDecorated(false);
    VSPListView->setUniformRowHeights(true);  // keeps 10,000 rows cheap to lay out
    // Grid lines; with an item style the selection colours must be given too.
    VSPListView->setStyleSheet(
        "QTreeView::item { border-right: 1px solid #d8d8d8; border-bottom: 1px solid #d8d8d8; }"
        "QTreeView::item:selected { background: palette(highlight); color: palette(highlighted-text); }");
    int widths[] = {140, 30, 120, 120, 60, 60, 60, 170};
    widths[ColLastLogon + 1] = std::max(widths[ColLastLogon + 1], timeColumnWidth(*VSPListView));
    for (int c = 0; c <= ColCount; ++c) VSPListView->header()->resizeSection(c, widths[c]);
    VSPListView->header()->setSectionsClickable(false);
    v->addWidget(VSPListView, 1);
    connect(VSPListView, &QTreeView::clicked, this, [this] { VSPListViewClick(); });
    connect(VSPListView, &QTreeView::doubleClicked, this, [this] { VSPListViewDblClick(); });
    VSPListView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(VSPListView, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        const QModelIndex idx = VSPListView->indexAt(at);
        if (!idx.isValid()) return;
        QMenu menu;
        const bool group = model_->groupOf(idx) != 0;
        connect(menu.addAction(group ? "Monitor this port" : "Monitor this DTU"), &QAction::triggered, this,
                [this, idx] { monitorRow(idx); });
        menu.exec(VSPListView->viewport()->mapToGlobal(at));
    });
    // A reset (rows came or went) forgets the selection: it is taken over by
    // row, only then, so the once-a-second refresh does not walk the rows.
    connect(model_, &QAbstractItemModel::modelAboutToBeReset, this, [this] { keepSelected_ = selectedRows(); });
    connect(model_, &QAbstractItemModel::modelReset, VSPListView, &QTreeView::expandAll);
    connect(model_, &QAbstractItemModel::modelReset, this, [this] {
        for (int g = 0; g < model_->rowCount(); ++g) VSPListView->setFirstColumnSpanned(g, {}, true);
        selectRows(keepSelected_);  // ids of rows that went are simply not found
        keepSelected_.clear();
    });
    // A click on a check box changes the core's state: Save Select follows at once.
    connect(model_, &VSPListModel::checkChanged, this, [this] { syncFromCore(); });
    connect(VSPListView->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { showPortPath(); });

    auto* BottomPanel = new QWidget;
    BottomPanel->setFixedHeight(91);
    auto* h = new QHBoxLayout(BottomPanel);
    auto* left = new QVBoxLayout;
    BtnSelectAll = new QPushButton("Select all DTUs in selected port");
    BtnDeselectAll = new QPushButton("De-select all DTUs in selected port");
    BtnSaveSelect = new QPushButton("Save Select");
    BtnSelectAll->setEnabled(false);
    BtnSaveSelect->setEnabled(false);
    for (auto* b : {BtnSelectAll, BtnDeselectAll, BtnSaveSelect}) left->addWidget(b);
    h->addLayout(left);

    auto* gbPortDTU = new QGroupBox("Port and DTU");
    auto* g = new QGridLayout(gbPortDTU);
    DeviceID = new QLineEdit;
    CommPort = new QComboBox;
    for (int i = 1; i <= 99; ++i) CommPort->addItem(QStringLiteral("COM%1").arg(i));
    btnCreatePortDtu = new QPushButton("Create port | dtu");
    BtnEditPortDtu = new QPushButton("Edit port | dtu");
    Comment = new QLineEdit;
    Comment->setMaxLength(30);
    BtnDelDtu = new QPushButton("Delete  dtu");
    g->addWidget(boldLabel("Device No."), 0, 0);
    g->addWidget(DeviceID, 0, 1);
    g->addWidget(CommPort, 0, 2);
    g->addWidget(btnCreatePortDtu, 0, 3);
    g->addWidget(BtnEditPortDtu, 0, 4);
    g->addWidget(boldLabel("Comment( 30s )"), 1, 0);
    g->addWidget(Comment, 1, 1, 1, 2);
    g->addWidget(BtnDelDtu, 1, 3);
    h->addWidget(gbPortDTU, 1);
    v->addWidget(BottomPanel);
    setCentralWidget(central);

    connect(BtnSelectAll, &QPushButton::clicked, this, [this] { BtnSelectAllClick(); });
    connect(BtnDeselectAll, &QPushButton::clicked, this, [this] { BtnDeselectAllClick(); });
    connect(BtnSaveSelect, &QPushButton::clicked, this, [this] { BtnSaveSelectClick(); });
    connect(btnCreatePortDtu, &QPushButton::clicked, this, [this] { btnCreatePortDtuClick(); });
    connect(BtnEditPortDtu, &QPushButton::clicked, this, [this] { BtnEditPortDtuClick(); });
    connect(BtnDelDtu, &QPushButton::clicked, this, [this] { BtnDelDtuClick(); });

    StatusBar = new QLabel("Ready");
    statusBar()->addWidget(StatusBar, 1);
    PortPath = new QLabel;
    PortPath->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusBar()->addPermanentWidget(PortPath);

    QMenu* file = menuBar()->addMenu("File");
    connect(file->addAction("Config"), &QAction::triggered, this, [this] { mnuConfigClick(); });
    connect(file->addAction("Monitor"), &QAction::triggered, this, [this] { mnuMonitorClick(); });
    connect(file->addAction("E&xit"), &QAction::triggered, this, [this] { mnuExitClick(); });
    menuBar()->addMenu("Help");

    TimerLogonTO = new QTimer(this);
    TimerRuning = new QTimer(this);
    TimerLogonTO->setInterval(1000);
    TimerRuning->setInterval(1000);
    connect(TimerLogonTO, &QTimer::timeout, this, [this] { TimerLogonTOTimer(); });
    connect(TimerRuning, &QTimer::timeout, this, [this] { TimerRuningTimer(); });

    resize(764, 446 + menuBar()->sizeHint().height());  // the status bar is part of the client area
    if (QScreen* s = QGuiApplication::primaryScreen()) move(s->availableGeometry().center() - rect().center());
}

void TMainForm::FormCreate() {
    core_->FormCreate();
    refresh();
}

void TMainForm::syncFromCore() {
    Manager& c = *core_;
    setWindowTitle(QString::fromStdString(c.caption));
    StatusBar->setText(QString::fromStdString(c.statusText));
    BtnSelectAll->setEnabled(c.btnSelectAllEnabled);
    BtnSaveSelect->setEnabled(c.btnSaveSelectEnabled);
    if (c.timerRuningEnabled != TimerRuning->isActive()) c.timerRuningEnabled ? TimerRuning->start() : TimerRuning->stop();
    if (c.timerLogonTOEnabled != TimerLogonTO->isActive())
        c.timerLogonTOEnabled ? TimerLogonTO->start() : TimerLogonTO->stop();
    if (c.terminateRequested) QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void TMainForm::refresh() {
    model_->refresh();
    syncFromCore();
}

std::vector<QModelIndex> TMainForm::selectedItems() const {
    // In list order, as the rows stand in the core: ids grow with creation.
    std::vector<QModelIndex> out;
    for (int g = 0; g < model_->rowCount(); ++g) {
        QModelIndex parent = model_->index(g, 0);
        for (int r = 0; r < model_->rowCount(parent); ++r) {
            QModelIndex idx = model_->index(r, 0, parent);
            if (VSPListView->selectionModel()->isSelected(idx)) out.push_back(idx);
        }
    }
    std::sort(out.begin(), out.end(),
              [this](const QModelIndex& a, const QModelIndex& b) { return model_->idAt(a) < model_->idAt(b); });
    return out;
}

std::vector<DtuId> TMainForm::selectedRows() const {
    std::vector<DtuId> out;
    for (const QModelIndex& i : selectedItems()) out.push_back(model_->idAt(i));
    return out;
}

void TMainForm::showPortPath() {
    std::vector<QModelIndex> sel = selectedItems();
    PortPath->setText(sel.empty() ? QString() : model_->portPath(model_->groupOf(sel.front().parent())));
}

void TMainForm::selectRows(const std::vector<DtuId>& rows) {
    QItemSelection sel;
    for (DtuId id : rows) {
        QModelIndex idx = model_->indexOf(id);
        if (idx.isValid()) sel.select(idx, idx.siblingAtColumn(ColCount));
    }
    VSPListView->selectionModel()->select(sel, QItemSelectionModel::ClearAndSelect);
}

void TMainForm::VSPListViewClick() {
    std::vector<DtuId> sel = selectedRows();
    if (sel.empty()) return;
    Row r = core_->rowCopy(sel.front());
    DeviceID->setText(QString::fromStdString(r.caption));
    CommPort->setCurrentIndex(r.groupId - 1);
    Comment->setText(QString::fromStdString(r.cells[ColComment]));
    core_->VSPListViewClick(sel.front());
    syncFromCore();
}

TMonitorForm* TMainForm::mnuMonitorClick() {
    if (!monitorForm_) monitorForm_ = new TMonitorForm(*core_, this);
    monitorForm_->show();
    monitorForm_->raise();
    monitorForm_->activateWindow();
    return monitorForm_;
}

TMonitorForm* TMainForm::monitorRow(const QModelIndex& index) {
    TMonitorForm* m = mnuMonitorClick();
    if (int port = model_->groupOf(index)) {
        m->showDtu(port, {});
    } else {
        Row row = core_->rowCopy(model_->idAt(index));
        m->showDtu(row.groupId, row.caption);
    }
    return m;
}

void TMainForm::VSPListViewDblClick() {
    if (selectedRows().empty()) return;
    VSPListViewClick();
    editDtu();
}

void TMainForm::BtnSelectAllClick() {
    std::vector<DtuId> sel = selectedRows();
    core_->BtnSelectAllClick(sel.empty() ? 0 : sel.front());
    refresh();
}

void TMainForm::BtnDeselectAllClick() {
    std::vector<DtuId> sel = selectedRows();
    core_->BtnDeselectAllClick(sel.empty() ? 0 : sel.front());
    refresh();
}

void TMainForm::BtnSaveSelectClick() {
    core_->BtnSaveSelectClick();
    syncFromCore();
}

void TMainForm::btnCreatePortDtuClick() {
    DtuId existing = core_->btnCreatePortDtuClick(DeviceID->text().toStdString(), CommPort->currentIndex() + 1,
                                                  Comment->text().toStdString());
    refresh();
    if (existing) {
        std::vector<DtuId> sel = selectedRows();  // the others stay selected
        sel.push_back(existing);
        selectRows(sel);
    }
}

void TMainForm::BtnDelDtuClick() {
    core_->BtnDelDtuClick(selectedRows());
    refresh();
}

void TMainForm::BtnEditPortDtuClick() { editDtu(); }

void TMainForm::editDtu() {
    std::vector<DtuId> sel = selectedRows();
    if (sel.empty()) return;
    DtuView view = core_->dtuView(sel.front());
    if (!view.id) return;
    TPropForm dlg(*core_, view, this);
    dlg.prepare(static_cast<int>(core_->portSerProto(view.portNo)), QString::fromStdString(view.comment),
                core_->net().netMode == 2);
    core_->setPropForm(dlg.channel());
    int res = execPropForm(dlg);
    core_->setPropForm(nullptr);
    if (res == QDialog::Accepted) core_->applyEdit(view.id, dlg.result());
    refresh();
}

void TMainForm::mnuConfigClick() {
    TConfigForm dlg(this);
    Manager& c = *core_;
    std::string user, pwd;
    c.credentials(user, pwd);
    const Network& n = c.net();
    dlg.fill(n.udpPort != 0 ? n.udpPort : n.tcpPort, n.netMode, QString::fromStdString(user), QString::fromStdString(pwd));
    if (execConfigForm(dlg) == QDialog::Accepted) c.applySettings(dlg.input());
    refresh();
}

void TMainForm::mnuExitClick() {
    core_->mnuExitClick();
    syncFromCore();
}

void TMainForm::TimerRuningTimer() {
    core_->TimerRuningTimer();
    refresh();
}

void TMainForm::TimerLogonTOTimer() {
    // Held still while the core may show a message, so that the tick does not run again inside it.
    TimerLogonTO->stop();
    core_->TimerLogonTOTimer();
    syncFromCore();
}

void TMainForm::bringToFront() {
    showNormal();
    raise();
    activateWindow();
}

void TMainForm::closeEvent(QCloseEvent* e) {
    e->ignore();
    showMinimized();
}
