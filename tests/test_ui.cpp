// The window on the offscreen platform, driven as a user would; messages are
// read through the message interface.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QKeyEvent>
#include <QStatusBar>
#include <QStyleOptionViewItem>
#include <QTableView>
#include <QTest>
#include <QTreeView>
#include <pugixml.hpp>

#include "link/LinkProtocol.h"
#include "link/Mgmt.h"
#include "support/BridgeFixture.h"
#include "support/Frames.h"
#include "ui/Formconfig.h"
#include "ui/Formmain.h"
#include "ui/Formmonitor.h"
#include "ui/MonitorModel.h"
#include "ui/Formprop.h"
#include "ui/VSPListModel.h"

namespace {
struct Window {
    explicit Window(const std::string& ports, const std::string& mode = "0", const std::string& usr = "u",
                    const std::string& pwd = "p")
        : udpPort(freeUdpPort()) {
        dir.write("Config.xml", sysLine("udpport=\"" + std::to_string(udpPort) + "\" tcpport=\"\" mode=\"" + mode +
                                        "\" usr=\"" + usr + "\" pwd=\"" + pwd + "\"") +
                                    ports + "</VSPConfig>");
        ManagerOptions o;
        o.relayBuiltinIp = "127.0.0.1";
        form = std::make_unique<TMainForm>(QString::fromStdString(dir.path), msgs, clock, o);
        form->FormCreate();
    }
    Row* row(const std::string& caption) {
        Row* found = nullptr;
        form->core().withRows([&](const auto& rows, const auto&) {
            for (auto& r : rows)
                if (r->caption == caption) found = r.get();
        });
        return found;
    }
    DtuId id(const std::string& caption) {
        Row* r = row(caption);
        return r ? r->seq : 0;
    }
    QModelIndex index(const std::string& caption) { return form->model().indexOf(id(caption)); }
    void click(const std::string& caption) {
        form->selectRows({id(caption)});
        form->VSPListViewClick();
    }
    DtuSim& sim(const std::string& devNo, uint8_t rssi = 20) {
        DtuSimOptions o;
        o.devNo = devNo;
        o.peer = VDIPAddress(127, 0, 0, 1, udpPort);
        o.rssi = rssi;
        o.hostAddr = "10.9.8.7:21012";
        sims.push_back(std::make_unique<DtuSim>(o));
        sims.back()->start();
        sims.back()->logon();
        return *sims.back();
    }
    TempDir dir;
    uint16_t udpPort;
    FakeMessages msgs;
    FakeClock clock;
    std::vector<std::unique_ptr<DtuSim>> sims;
    std::unique_ptr<TMainForm> form;
};

// Typed key by key, as a keyboard layout would deliver characters beyond ASCII.
void typeText(QWidget* w, const QString& text) {
    for (QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(w, &press);
    }
}

QString cell(Window& w, const std::string& caption, int col) {
    QModelIndex i = w.index(caption);
    return w.form->model().data(i.siblingAtColumn(col), Qt::DisplayRole).toString();
}
}  // namespace

class UiTest : public QObject {
    Q_OBJECT
private slots:
    void layoutAndStartState() {
        Window w(portXml(3, 2, 1, dtuXml("K1", "2,1")));
        TMainForm& f = *w.form;
        QCOMPARE(f.windowTitle(), QString("Vardo Mobile Virtual Serial Port Manager"));
        QCOMPARE(f.StatusBar->text(), QString("Ready"));
        QStringList cols;
        for (int c = 0; c < 8; ++c) cols << f.model().headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
        QCOMPARE(cols, QStringList({"Device No.", "On", "Address", "Last Logon Time", "Tx Bytes", "Rx Bytes",
                                    "Controller", "Comment"}));
        QCOMPARE(f.VSPListView->header()->sectionSize(7), 170);
        QStringList menus;
        for (QAction* a : f.menuBar()->actions()) menus << a->text();
        QCOMPARE(menus, QStringList({"File", "Help"}));
        QStringList file;
        for (QAction* a : f.menuBar()->actions()[0]->menu()->actions()) file << a->text();
        QCOMPARE(file, QStringList({"Config", "Monitor", "E&xit"}));
        QCOMPARE(f.BtnSelectAll->text(), QString("Select all DTUs in selected port"));
        QVERIFY(!f.BtnSelectAll->isEnabled());
        QVERIFY(f.BtnDeselectAll->isEnabled());
        QVERIFY(!f.BtnSaveSelect->isEnabled());
        QCOMPARE(f.BtnDelDtu->text(), QString("Delete  dtu"));
        QCOMPARE(f.CommPort->count(), 99);
        QCOMPARE(f.CommPort->currentText(), QString("COM1"));
        QCOMPARE(f.Comment->maxLength(), 30);
        QCOMPARE(f.model().data(f.model().index(0, 0), Qt::DisplayRole).toString(), QString("COM3"));
        QCOMPARE(cell(w, "K1", 1), QString::fromUtf8("×"));
        QCOMPARE(cell(w, "K1", 6), QString("2,1"));
        QCOMPARE(f.model().data(w.index("K1"), Qt::CheckStateRole).toInt(), int(Qt::Checked));
    }

    void closeBoxMinimises() {
        Window w("");
        w.form->show();
        QVERIFY(!w.form->close());
        QVERIFY(w.form->isMinimized() || w.form->windowState() & Qt::WindowMinimized);
    }

    void bringToFrontRestoresTheMinimisedWindow() {
        Window w("");
        w.form->show();
        w.form->close();  // the close box minimises
        QVERIFY(w.form->windowState() & Qt::WindowMinimized);
        w.form->bringToFront();
        QVERIFY(!(w.form->windowState() & Qt::WindowMinimized));
        QVERIFY(w.form->isVisible());
    }

    void checkBoxesFollowTheRules() {
        Window w(portXml(3, 0, 1, dtuXml("A") + dtuXml("B", "", false)));
        QAbstractItemModel& m = w.form->model();
        QVERIFY(m.setData(w.index("B"), Qt::Checked, Qt::CheckStateRole));
        QCOMPARE(m.data(w.index("A"), Qt::CheckStateRole).toInt(), int(Qt::Unchecked));
        QVERIFY(w.row("B")->dtu->selected);
        QVERIFY(!w.row("A")->dtu->selected);
        w.form->BtnSaveSelectClick();  // syncs the button from the core
        QCOMPARE(w.msgs.texts(), std::vector<std::string>{"Save sucessfully!"});
        QVERIFY(!w.form->BtnSaveSelect->isEnabled());
        QVERIFY(m.setData(w.index("A"), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(w.form->BtnSaveSelect->isEnabled());  // at once, no timer tick needed
    }

    void checkBoxClickEnablesSaveSelectWithoutTimers() {
        // Relay mode before the logon: the list's timer does not run.
        Window w(portXml(3, 1, 1, dtuXml("A", "", false)), "2");
        w.form->BtnSaveSelectClick();
        QVERIFY(!w.form->BtnSaveSelect->isEnabled());
        QVERIFY(w.form->model().setData(w.index("A"), Qt::Checked, Qt::CheckStateRole));
        QVERIFY(w.form->BtnSaveSelect->isEnabled());
    }

    void deletingSeveralRows_data() {
        QTest::addColumn<QStringList>("doomed");
        QTest::addColumn<QStringList>("left");
        QTest::newRow("two of one port") << QStringList{"A", "B"} << QStringList{"C", "D"};
        QTest::newRow("three over two ports") << QStringList{"B", "C", "D"} << QStringList{"A"};
        QTest::newRow("a whole port and one more") << QStringList{"A", "B", "C"} << QStringList{"D"};
    }
    void deletingSeveralRows() {
        QFETCH(QStringList, doomed);
        QFETCH(QStringList, left);
        Window w(portXml(2, 1, 1, dtuXml("A") + dtuXml("B")) + portXml(5, 1, 1, dtuXml("C") + dtuXml("D")));
        std::vector<DtuId> sel;
        for (const QString& c : doomed) sel.push_back(w.id(c.toStdString()));
        w.form->selectRows(sel);
        w.msgs.answers = {MsgAnswer::Yes};
        w.form->BtnDelDtuClick();
        QStringList shown;
        QAbstractItemModel& m = w.form->model();
        for (int g = 0; g < m.rowCount(); ++g)
            for (int r = 0; r < m.rowCount(m.index(g, 0)); ++r) shown << m.index(r, 0, m.index(g, 0)).data().toString();
        QCOMPARE(shown, left);
        QVERIFY(w.form->selectedRows().empty());
        std::string saved = w.dir.read("Config.xml");
        for (const QString& c : doomed) QVERIFY(saved.find("id=\"" + c.toStdString() + "\"") == std::string::npos);
    }

    void selectionSurvivesOtherRowsGoing() {
        Window w(portXml(2, 1, 1, dtuXml("A") + dtuXml("B") + dtuXml("C")));
        w.form->selectRows({w.id("A"), w.id("C")});
        w.form->core().removeDtu(w.id("B"));  // rows went: the model is reset
        w.form->TimerRuningTimer();
        QCOMPARE(w.form->selectedRows(), (std::vector<DtuId>{w.id("A"), w.id("C")}));
    }

    void rowClickFillsTheBottomFields() {
        Window w(portXml(12, 1, 1, "<DTU id=\"Z9\" ip=\"\" cmt=\"north gate\" devids=\"\" sel=\"1\"/>") +
                 portXml(2, 0, 1, dtuXml("U")));
        w.click("Z9");
        QCOMPARE(w.form->DeviceID->text(), QString("Z9"));
        QCOMPARE(w.form->CommPort->currentText(), QString("COM12"));
        QCOMPARE(w.form->Comment->text(), QString("north gate"));
        QVERIFY(w.form->BtnSelectAll->isEnabled());
        w.form->selectRows({});
        w.form->VSPListViewClick();  // nothing selected: the fields stay
        QCOMPARE(w.form->DeviceID->text(), QString("Z9"));
        w.form->BtnDeselectAllClick();
        w.form->BtnEditPortDtuClick();
        QVERIFY(w.msgs.shown.empty());
    }

    void createAndDeleteFromTheWindow() {
        Window w("");
        w.form->DeviceID->setText("W1");
        w.form->CommPort->setCurrentIndex(4);
        w.form->Comment->setText("yard");
        w.form->btnCreatePortDtuClick();
        QVERIFY(std::filesystem::exists(w.dir.file("ports/COM5")));
        QVERIFY(w.dir.read("Config.xml").find("<DTU id=\"W1\" ip=\"\" cmt=\"yard\" devids=\"\" sel=\"1\"") != std::string::npos);
        QCOMPARE(w.form->model().data(w.form->model().index(0, 0), Qt::DisplayRole).toString(), QString("COM5"));
        QVERIFY(w.form->BtnSaveSelect->isEnabled());
        w.form->btnCreatePortDtuClick();  // the same number again: its row is selected
        QCOMPARE(w.form->selectedRows(), std::vector<DtuId>{w.id("W1")});
        w.msgs.answers = {MsgAnswer::Yes};
        w.form->BtnDelDtuClick();
        QVERIFY(!std::filesystem::exists(w.dir.file("ports/COM5")));
        QVERIFY(w.dir.read("Config.xml").find("CommPort") == std::string::npos);
        QCOMPARE(w.form->model().rowCount(w.form->model().index(0, 0)), 0);
    }

    void propertiesDialogFieldsAndEdit() {
        Window w(portXml(3, 2, 1, "<DTU id=\"P1\" ip=\"\" cmt=\"old\" devids=\"4,2\" sel=\"1\"/>"));
        w.click("P1");
        // What the dialog showed, checked once it has closed.
        QString tab, dev, leds, comment, proto, rssi, timeout, ledsTyped;
        bool onDtuTab = false, ledsEnabled = false, changedEarly = true, ledsEnabledAfter = false, noAckKeeps = false;
        int devMax = 0, bauds = 0, baudSel = 0, commentLen = 0;
        w.form->execPropForm = [&](TPropForm& d) {
            tab = d.pages->tabText(0);
            onDtuTab = d.pages->currentWidget() == d.TSDtu;
            dev = d.DeviceID->text();
            leds = d.LEDNums->text();
            ledsEnabled = d.LEDNums->isEnabled();
            comment = d.Comment->toPlainText();
            proto = d.cbProto->currentText();
            changedEarly = d.protoChanged || d.fieldsChanged;
            rssi = d.lblRSSI->text();
            timeout = d.cbTimeOut->currentText();
            bauds = d.cbBaudRate->count();
            baudSel = d.cbBaudRate->currentIndex();
            d.cbProto->setCurrentIndex(1);  // No-Ack: disabled, the text stays
            noAckKeeps = !d.LEDNums->isEnabled() && d.LEDNums->text() == "2,4";
            d.cbProto->setCurrentIndex(4);  // Harrier
            ledsEnabledAfter = d.LEDNums->isEnabled();
            d.LEDNums->clear();
            QTest::keyClicks(d.LEDNums, "1, 2x");
            ledsTyped = d.LEDNums->text();
            d.Comment->setPlainText(QString(40, 'c'));
            commentLen = static_cast<int>(d.Comment->toPlainText().size());
            d.DeviceID->selectAll();
            QTest::keyClicks(d.DeviceID, "123456789012345");
            devMax = static_cast<int>(d.DeviceID->text().size());
            d.DeviceID->setText("P2");
            return int(QDialog::Accepted);
        };
        w.form->VSPListViewDblClick();
        QCOMPARE(tab, QString("COM3"));
        QVERIFY(onDtuTab);
        QCOMPARE(dev, QString("P1"));
        QCOMPARE(devMax, 14);
        QCOMPARE(leds, QString("2,4"));
        QVERIFY(ledsEnabled);
        QVERIFY(noAckKeeps);
        QCOMPARE(comment, QString("old"));
        QCOMPARE(proto, QString("Kestrel Protocol"));
        QVERIFY(!changedEarly);
        QCOMPARE(rssi, QString("99"));
        QCOMPARE(timeout, QString("3"));
        QCOMPARE(bauds, 5);
        QCOMPARE(baudSel, -1);
        QVERIFY(ledsEnabledAfter);
        QCOMPARE(ledsTyped, QString("1,2"));  // blanks and letters are not taken
        QCOMPARE(commentLen, 30);
        QVERIFY(w.row("P2"));
        QCOMPARE(cell(w, "P2", 6), QString("1,2"));
        QCOMPARE(cell(w, "P2", 7), QString(30, 'c'));
        QCOMPARE(w.form->core().portSerProto(3), 4u);
        std::string saved = w.dir.read("Config.xml");
        QVERIFY(saved.find("serproto=\"4\"") != std::string::npos);
        QVERIFY(saved.find("id=\"P2\"") != std::string::npos);
        w.form->execPropForm = [&](TPropForm& d) {
            d.DeviceID->setText("P3");
            return int(QDialog::Rejected);
        };
        w.form->BtnEditPortDtuClick();
        QCOMPARE(w.dir.read("Config.xml"), saved);
    }

    void lineSpeedBoxFollowsTheProtocolAndIsStored() {
        Window w(portXml(3, 0, 1, dtuXml("U1")));
        w.click("U1");
        bool shownOff = false, enabled = false, disabledForFrames = true;
        w.form->execPropForm = [&](TPropForm& d) {
            shownOff = !d.cbLineGap->isChecked();
            enabled = d.cbLineGap->isEnabled();
            d.cbProto->setCurrentIndex(2);  // controller frames leave when complete: no gap to choose
            disabledForFrames = !d.cbLineGap->isEnabled();
            d.cbProto->setCurrentIndex(0);
            d.cbLineGap->setChecked(true);
            return int(QDialog::Accepted);
        };
        w.form->BtnEditPortDtuClick();
        QVERIFY(shownOff && enabled && disabledForFrames);
        QVERIFY(w.form->core().portLineGap(3));
        QVERIFY(w.dir.read("Config.xml").find("linegap=\"1\"") != std::string::npos);
        bool shownOn = false;
        w.form->execPropForm = [&](TPropForm& d) {
            shownOn = d.cbLineGap->isChecked();
            d.cbLineGap->setChecked(false);
            return int(QDialog::Accepted);
        };
        w.form->BtnEditPortDtuClick();
        QVERIFY(shownOn);
        QVERIFY(!w.form->core().portLineGap(3));
        QVERIFY(w.dir.read("Config.xml").find("linegap") == std::string::npos);
    }

    void propertiesDialogKeysAndFrame() {
        Window w(portXml(3, 2, 1, dtuXml("K1", "1,2")));
        w.click("K1");
        QString typedNumber, afterTab, edited;
        bool tabLeft = false, fixed = false, bigEnough = false;
        w.form->execPropForm = [&](TPropForm& d) {
            d.setAttribute(Qt::WA_DontShowOnScreen);  // laid out and focusable, never painted
            d.show();
            fixed = d.minimumSize() == d.maximumSize();
            bigEnough = d.width() >= 304 && d.height() >= 253;
            d.DeviceID->clear();
            typeText(d.DeviceID, QString::fromUtf8("ÄÄÄÄÄÄÄÄ"));  // two bytes each: seven fit
            typedNumber = d.DeviceID->text();
            d.LEDNums->setFocus();
            QTest::keyClicks(d.LEDNums, "3 ");
            QTest::keyClick(d.LEDNums, Qt::Key_Home);
            QTest::keyClick(d.LEDNums, Qt::Key_Delete);
            edited = d.LEDNums->text();
            QTest::keyClick(d.LEDNums, Qt::Key_Tab);
            tabLeft = d.focusWidget() && d.focusWidget() != d.LEDNums;
            afterTab = d.LEDNums->text();
            return int(QDialog::Rejected);
        };
        w.form->BtnEditPortDtuClick();
        QVERIFY(fixed);
        QVERIFY(bigEnough);
        QCOMPARE(typedNumber, QString::fromUtf8("ÄÄÄÄÄÄÄ"));
        QCOMPARE(edited, QString(",23"));  // Home and Delete work, the blank was not taken
        QVERIFY(tabLeft);
        QCOMPARE(afterTab, QString(",23"));
    }

    void renameThatDoesNotFitIsRefused() {
        Window w(portXml(3, 2, 1, dtuXml("K1", "1,2")));
        w.click("K1");
        std::string before = w.dir.read("Config.xml");
        w.form->execPropForm = [&](TPropForm& d) {
            d.DeviceID->setText(QString::fromUtf8("ÄÄÄÄÄÄÄÄ"));  // set whole by the program: 16 bytes
            d.Comment->setPlainText("changed too");
            return int(QDialog::Accepted);
        };
        w.form->BtnEditPortDtuClick();
        QCOMPARE(w.msgs.texts(), std::vector<std::string>{"Create dtu error, please check!"});
        QVERIFY(w.row("K1"));
        QCOMPARE(w.dir.read("Config.xml"), before);
    }

    void windowGeometry() {
        Window w(portXml(3, 0, 1, dtuXml("G1")));
        w.form->setAttribute(Qt::WA_DontShowOnScreen);  // laid out, never painted
        w.form->show();
        QCOMPARE(w.form->centralWidget()->width(), 764);
        QCOMPARE(w.form->centralWidget()->height() + w.form->statusBar()->height(), 446);
    }

    void lastLogonTimeIsReadable_data() {
        QTest::addColumn<int>("pointSize");
        QTest::newRow("default font") << 0;
        QTest::newRow("large font") << 20;
    }
    void lastLogonTimeIsReadable() {
        QFETCH(int, pointSize);
        const QFont before = QApplication::font();
        if (pointSize) {
            QFont big = before;
            big.setPointSize(pointSize);
            QApplication::setFont(big);
        }
        Window w(portXml(3, 0, 1, dtuXml("T1")));
        w.form->setAttribute(Qt::WA_DontShowOnScreen);  // laid out, never painted
        w.form->show();
        QApplication::setFont(before);
        QHeaderView* h = w.form->VSPListView->header();
        QVERIFY(h->sectionSize(3) >= 120);
        // What the item needs for its whole text, as the view lays it out.
        QTreeView* v = w.form->VSPListView;
        w.form->core().withRows([](const auto& rows, const auto&) { rows[0]->cells[ColLastLogon] = "2026-12-11 03:59:58"; });
        w.form->TimerRuningTimer();
        QModelIndex idx = w.index("T1").siblingAtColumn(3);
        QStyleOptionViewItem opt;
        opt.initFrom(v);
        opt.font = v->font();
        opt.fontMetrics = v->fontMetrics();
        const int needed = v->itemDelegateForIndex(idx)->sizeHint(opt, idx).width();
        QVERIFY2(needed <= h->sectionSize(3), qPrintable(QString("%1 > %2").arg(needed).arg(h->sectionSize(3))));
        if (!pointSize)
            for (int c : {0, 1, 2, 4, 5, 6, 7}) QCOMPARE(h->sectionSize(c), (QList<int>{140, 30, 120, 0, 60, 60, 60, 170}[c]));
    }

    void portPathIsShown() {
        Window w(portXml(3, 0, 1, dtuXml("P1")) + portXml(12, 0, 1, dtuXml("P2")));
        QAbstractItemModel& m = w.form->model();
        const QString com12 = QString::fromStdString(w.dir.file("ports/COM12"));
        QCOMPARE(m.index(1, 0).data(Qt::ToolTipRole).toString(), com12);
        QVERIFY(QFileInfo(m.index(0, 0).data(Qt::ToolTipRole).toString()).exists());
        QCOMPARE(w.form->PortPath->text(), QString());
        w.form->selectRows({w.id("P2")});
        QCOMPARE(w.form->PortPath->text(), com12);
        w.form->selectRows({});
        QCOMPARE(w.form->PortPath->text(), QString());
    }

    void relayModeHidesTheNetworkTabs() {
        Window w(portXml(3, 0, 1, dtuXml("R")), "2");
        w.click("R");
        bool stateShown = true, advShown = true, portShown = false;
        w.form->execPropForm = [&](TPropForm& d) {
            stateShown = d.pages->isTabVisible(d.pages->indexOf(d.TSState));
            advShown = d.pages->isTabVisible(d.pages->indexOf(d.TSAdv));
            portShown = d.pages->isTabVisible(0);
            return int(QDialog::Rejected);
        };
        w.form->BtnEditPortDtuClick();
        QVERIFY(!stateShown && !advShown && portShown);
        QCOMPARE(w.form->StatusBar->text(), QString("Connecting to server ..."));
    }

    void managementCommandsWithTheSimulator() {
        Window w(portXml(3, 0, 1, dtuXml("M1")));
        DtuSim& sim = w.sim("M1", 77);
        // The window's own once-a-second timer shows it on line.
        QVERIFY(QTest::qWaitFor([&] { return cell(w, "M1", 1) == QString::fromUtf8("√"); }, 2500));
        QCOMPARE(cell(w, "M1", 2), QString("127.0.0.1:%1").arg(sim.localPort()));
        w.click("M1");
        std::vector<uint8_t> before = sim.config();
        w.form->execPropForm = [&](TPropForm& d) {
            d.BtnGetStateClick();
            if (d.lblRSSI->text() != "77") return int(QDialog::Rejected);
            d.btnGetCfgClick();
            if (d.btnGetCfg->text() != "Save Configuration") return int(QDialog::Rejected);
            if (d.HostAddress->text() != "10.9.8.7:21012" || d.MaxNetPacketLen->text() != "1024" ||
                d.cbBaudRate->currentText() != "9600")
                return int(QDialog::Rejected);
            d.HostAddress->setText("192.168.5.5:9000");
            d.MaxNetPacketLen->setText("12x");
            d.btnGetCfgClick();  // not a number: nothing is sent
            d.MaxNetPacketLen->setText("70000");
            d.cbBaudRate->setCurrentIndex(4);
            d.btnGetCfgClick();  // saves now
            d.btnRestartClick();
            return int(QDialog::Accepted);
        };
        w.form->BtnEditPortDtuClick();
        QCOMPARE(w.msgs.texts(), (std::vector<std::string>{"'12x' is not a valid integer value",
                                                          "Save configuration sucessfully!",
                                                          "Restart command has been sent, please wait DTU logon."}));
        QCOMPARE(w.msgs.shown[1].caption, std::string("OK"));
        QCOMPARE(w.msgs.shown[2].caption, std::string("Ok"));
        std::vector<uint8_t> after = sim.config();
        DtuConfig got, had;
        QCOMPARE(parseDtuConfig(after.data(), after.size(), got), Parsed::Complete);
        QCOMPARE(parseDtuConfig(before.data(), before.size(), had), Parsed::Complete);
        QCOMPARE(got.baudRate, 115200u);
        QCOMPARE(got.hostText(), std::string("192.168.5.5:9000"));
        QCOMPARE(got.maxPacketLen, uint16_t(4464));  // 70000 kept in 16 bits
        QVERIFY(std::equal(std::begin(got.rest), std::end(got.rest), std::begin(had.rest)));  // sent back unchanged
        QVERIFY(eventually([&] { return sim.restarts() == 1; }));
    }

    void noAnswerShowsTheRedLabel() {
        Window w(portXml(3, 0, 1, dtuXml("Q1")));  // never logged on: endpoint 0.0.0.0:0
        w.click("Q1");
        w.form->execPropForm = [&](TPropForm& d) {
            d.cbTimeOut->setCurrentIndex(0);  // 1 second
            d.BtnGetStateClick();
            bool red = d.lblResultState->isVisibleTo(&d);
            d.btnGetCfgClick();
            return int(red && d.lblResult->isVisibleTo(&d) && d.btnGetCfg->text() == "Get Configuration"
                           ? QDialog::Accepted
                           : QDialog::Rejected);
        };
        QElapsedTimer t;
        t.start();
        w.form->BtnEditPortDtuClick();
        QVERIFY(t.elapsed() >= 2000);
        QVERIFY(w.msgs.shown.empty());
        QCOMPARE(w.dir.read("Config.xml").find("P9"), std::string::npos);
    }

    void settingsDialogFillsAndApplies() {
        Window w(portXml(3, 0, 1, dtuXml("S")));
        w.form->execConfigForm = [&](TConfigForm& d) {
            if (d.LocalPort->text() != QString::number(w.udpPort) || !d.rbDirect->isChecked() ||
                d.UserName->isEnabled() || !d.UserName->text().isEmpty())
                return int(QDialog::Rejected);
            d.rbFastRelay->setChecked(true);
            if (!d.UserName->isEnabled() || !d.Password->isEnabled()) return int(QDialog::Rejected);
            d.UserName->setText("fleet");
            d.Password->setText("pw");
            d.Edit1->setText("99");
            return int(QDialog::Accepted);
        };
        w.form->mnuConfigClick();
        pugi::xml_document doc;
        doc.load_file(w.dir.file("Config.xml").c_str());
        pugi::xml_node sys = doc.document_element().child("Sys");
        QCOMPARE(std::string(sys.attribute("mode").value()), std::string("1"));
        QCOMPARE(std::string(sys.attribute("usr").value()), std::string("fleet"));
        QVERIFY(!sys.attribute("timeout"));
        bool refilled = false;
        w.form->execConfigForm = [&](TConfigForm& d) {
            refilled = d.rbFastRelay->isChecked() && d.UserName->text() == "fleet" && d.Password->text() == "pw";
            d.Password->clear();
            QTest::keyClicks(d.Password, "0123456789abcdefg");  // opened in a relay mode: 16 bytes
            refilled = refilled && d.Password->text() == "0123456789abcdef";
            return int(QDialog::Rejected);
        };
        std::string before = w.dir.read("Config.xml");
        w.form->mnuConfigClick();
        QVERIFY(refilled);
        QCOMPARE(w.dir.read("Config.xml"), before);
    }

    void credentialsAreLimitedByBytes_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("typedUser");
        QTest::addColumn<QString>("typedPwd");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("pwd");
        // ü and ö are two bytes each: the fields hold 15 and 16 bytes in a relay mode.
        QTest::newRow("relay") << "2" << QString::fromUtf8("Jürgen-Müller12") << QString::fromUtf8("öööööööö1")
                               << QString::fromUtf8("Jürgen-Müller") << QString::fromUtf8("öööööööö");
        QTest::newRow("ascii fills the fields") << "1" << "0123456789abcdefg" << "0123456789abcdefg"
                                                << "0123456789abcde" << "0123456789abcdef";
        // Opened in Direct mode, both fields keep the form's 15 bytes.
        QTest::newRow("direct to relay") << "0" << "0123456789abcdefg" << QString::fromUtf8("ööööööööö")
                                         << "0123456789abcde" << QString::fromUtf8("ööööööö");
    }
    void credentialsAreLimitedByBytes() {
        QFETCH(QString, mode);
        QFETCH(QString, typedUser);
        QFETCH(QString, typedPwd);
        QFETCH(QString, user);
        QFETCH(QString, pwd);
        Window w("", mode.toStdString(), "", "");
        w.form->execConfigForm = [&](TConfigForm& d) {
            d.rbRelay->setChecked(true);
            typeText(d.UserName, typedUser);
            typeText(d.Password, typedPwd);
            return int(QDialog::Accepted);
        };
        w.form->mnuConfigClick();
        pugi::xml_document doc;
        doc.load_file(w.dir.file("Config.xml").c_str());
        pugi::xml_node sys = doc.document_element().child("Sys");
        QCOMPARE(QString::fromUtf8(sys.attribute("usr").value()), user);
        QCOMPARE(QString::fromUtf8(sys.attribute("pwd").value()), pwd);
    }

    void storedLongCredentialsAreNotCutByOk() {
        const std::string usr = "a-user-name-of-twenty-six", pwd = "a-password-of-twenty-four";
        Window w("", "1", usr, pwd);
        std::string before = w.dir.read("Config.xml");
        QString shownUser;
        w.form->execConfigForm = [&](TConfigForm& d) {
            shownUser = d.UserName->text();
            return int(QDialog::Accepted);
        };
        w.form->mnuConfigClick();
        QCOMPARE(shownUser, QString::fromStdString(usr));
        QCOMPARE(w.dir.read("Config.xml"), before);  // nothing changed: nothing saved
        const uint16_t other = freeUdpPort();
        w.form->execConfigForm = [&](TConfigForm& d) {
            d.LocalPort->setText(QString::number(other));
            return int(QDialog::Accepted);
        };
        w.form->mnuConfigClick();
        pugi::xml_document doc;
        doc.load_file(w.dir.file("Config.xml").c_str());
        pugi::xml_node sys = doc.document_element().child("Sys");
        QCOMPARE(sys.attribute("udpport").as_int(), int(other));
        QCOMPARE(std::string(sys.attribute("usr").value()), usr);
        QCOMPARE(std::string(sys.attribute("pwd").value()), pwd);
    }

    void exitAsksPerPortInUse() {
        Window w(portXml(3, 0, 1, dtuXml("E1")) + portXml(4, 0, 1, dtuXml("E2")));
        w.form->mnuExitClick();
        QVERIFY(w.msgs.shown.empty());
        QVERIFY(w.form->core().terminateRequested);
        Window v(portXml(3, 0, 1, dtuXml("E1")) + portXml(4, 0, 1, dtuXml("E2")));
        SerialProgram p3(v.dir.file("ports/COM3")), p4(v.dir.file("ports/COM4"));
        QVERIFY(eventually([&] { return v.form->core().portInUse(3) && v.form->core().portInUse(4); }));
        v.msgs.answers = {MsgAnswer::Yes, MsgAnswer::No};
        v.form->mnuExitClick();
        QCOMPARE(v.msgs.texts(), (std::vector<std::string>{"Are you sure you want delete all virtual serial ports?",
                                                          "Are you sure you want delete all virtual serial ports?"}));
        QVERIFY(!v.form->core().terminateRequested);
        QVERIFY(std::filesystem::exists(v.dir.file("ports/COM3")));
    }

    void titleFromConfig() {
        TempDir dir;
        dir.write("Config.xml", sysLine("udpport=\"" + std::to_string(freeUdpPort()) +
                                        "\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\" title=\"Depot 7\"") +
                                    "</VSPConfig>");
        FakeMessages msgs;
        FakeClock clock;
        TMainForm f(QString::fromStdString(dir.path), msgs, clock);
        f.FormCreate();
        QCOMPARE(f.windowTitle(), QString("Depot 7"));
    }
    void monitorShowsTheExchangeDecoded() {
        Window w(portXml(3, 2, 1, dtuXml("M1", "5")) + portXml(4, 0, 1, dtuXml("M2")));
        TMonitorForm* m = w.form->mnuMonitorClick();
        DtuSim& sim = w.sim("M1", 63);
        QVERIFY(eventually([&] { return findDtu(w.form->core(), "M1")->online.load(); }));
        SerialProgram program(w.dir.file("ports/COM3"));
        QVERIFY(eventually([&] { return w.form->core().portInUse(3); }));
        const std::string request = kestrel(5, "ping"), answer = kestrel(5, "pong!");
        program.write(request);
        QVERIFY(sim.waitData(request.size(), 3000));
        sim.sendData(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
        QCOMPARE(program.read(answer.size()), answer);
        auto get = encodeLinkPacket("M1", DtuGetState);
        QVERIFY(w.form->core().sendToDtu(w.id("M1"), get.data(), static_cast<int>(get.size())) > 0);
        QVERIFY(QTest::qWaitFor([&] {
            m->TimerMonitorTimer();
            return m->model().rowCount() == 5;
        }, 3000));
        auto text = [&](int row, int col) { return m->model().index(row, col).data().toString(); };
        const QString dtu = QString("127.0.0.1:%1").arg(sim.localPort());
        // A DTU may answer while the send that asked is still returning, so
        // an answer can be listed just before its request: compared as a set.
        QStringList rows;
        for (int r = 0; r < 5; ++r) {
            QCOMPARE(text(r, MonitorModel::ColPeer), dtu);
            QCOMPARE(text(r, MonitorModel::ColDevNo), QString("M1"));
            QStringList cells;
            for (int c : {MonitorModel::ColDir, MonitorModel::ColType, MonitorModel::ColLength, MonitorModel::ColFrame})
                cells << text(r, c);
            rows << cells.join('|');
        }
        QCOMPARE(rows.front(), QString("Rx|DtuLogon|16|"));
        rows.sort();
        QCOMPARE(rows, QStringList({"Rx|DtuData|34|Kestrel LED 5, 18 bytes", "Rx|DtuLogon|16|",
                                    QString("Rx|management response|%1|").arg(16 + DTU_STATE_SIZE),
                                    "Tx|DtuData|33|Kestrel LED 5, 17 bytes", "Tx|DtuGetState|16|"}));
        m->TextFilter->setText("kestrel");
        m->EntryList->selectRow(0);
        QVERIFY(text(0, MonitorModel::ColData).startsWith("1B 24 56 41 52 44 4F 05"));  // the frame, after the header
        QVERIFY(m->HexView->toPlainText().contains("0010  1B 24 56 41 52 44 4F 05"));  // the frame after the header
        m->TextFilter->clear();
        m->EntryList->selectRow(1);
        if (const char* dir = std::getenv("VSP_SCREENSHOTS")) {
            m->resize(1000, 420);
            m->grab().save(QString(dir) + "/monitor.png");
        }

        // Filters: the port of the row, another port, a device number, text.
        const struct {
            int port;
            const char *devNo, *text;
            int rows;
        } filters[] = {{3, "", "", 5}, {4, "", "", 0}, {0, "M1", "", 5}, {0, "M2", "", 0}, {0, "", "kestrel", 2},
                       {3, "M1", "response", 1}};
        for (const auto& f : filters) {
            m->showDtu(f.port, f.devNo);
            m->TextFilter->setText(f.text);
            QCOMPARE(m->model().rowCount(), f.rows);
        }
        m->TextFilter->clear();
        // A row's context menu opens the monitor on that DTU.
        QCOMPARE(w.form->monitorRow(w.index("M2")), m);
        QCOMPARE(m->DeviceFilter->text(), QString("M2"));
        QCOMPARE(m->cbPort->currentText(), QString("COM4"));
        m->btnClearClick();
        QCOMPARE(m->model().held(), size_t(0));
    }

    void monitorHoldsAtMostItsLimit() {
        Window w(portXml(3, 0, 1, dtuXml("B1")));
        TMonitorForm* m = w.form->mnuMonitorClick();
        m->showDtu(0, "B1");
        std::vector<PacketView> batch;
        for (size_t i = 0; i < MonitorModel::LIMIT + 5; ++i) {
            TapRecord r;
            r.dir = TapDir::Rx;
            r.usec = static_cast<int64_t>(i);
            r.bytes = encodeLinkPacket(i % 2 ? "B1" : "B2", DtuLogon);
            batch.push_back(describePacket(std::move(r)));
        }
        m->model().append(std::vector<PacketView>(batch.begin(), batch.begin() + 7));
        m->model().append(std::vector<PacketView>(batch.begin() + 7, batch.end()));
        QCOMPARE(m->model().held(), MonitorModel::LIMIT);
        QCOMPARE(m->model().rowCount(), int(MonitorModel::LIMIT / 2));  // the B1 half of the newest
        QCOMPARE(m->model().records().front()->usec, int64_t(5));
        QCOMPARE(m->model().shown(0).rec.usec, int64_t(5));
        // The core's side closes with the window: the tap stops listening.
        QVERIFY(w.form->core().traffic().listening());
        m->close();
        QTRY_VERIFY(!w.form->core().traffic().listening());
    }
};

QTEST_MAIN(UiTest)
#include "test_ui.moc"
