// The window on the offscreen platform, driven as a user would; messages are
// read through the message interface.
#include <QAction>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QElapsedTimer>
#include <QTest>
#include <QTreeView>
#include <pugixml.hpp>

#include "link/LinkProtocol.h"
#include "link/Mgmt.h"
#include "support/BridgeFixture.h"
#include "ui/Formconfig.h"
#include "ui/Formmain.h"
#include "ui/Formprop.h"
#include "ui/VSPListModel.h"

namespace {
struct Window {
    explicit Window(const std::string& ports, const std::string& mode = "0") : udpPort(freeUdpPort()) {
        dir.write("Config.xml", sysLine("udpport=\"" + std::to_string(udpPort) + "\" tcpport=\"\" mode=\"" + mode +
                                        "\" usr=\"u\" pwd=\"p\"") +
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
    QModelIndex index(const std::string& caption) { return form->model().indexOf(row(caption)); }
    void click(const std::string& caption) {
        form->selectRows({row(caption)});
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
        QCOMPARE(file, QStringList({"Config", "E&xit"}));
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
        w.form->TimerRuningTimer();
        QVERIFY(w.form->BtnSaveSelect->isEnabled());
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
        QCOMPARE(w.form->selectedRows(), std::vector<Row*>{w.row("W1")});
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
            devMax = d.DeviceID->maxLength();
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
        QCOMPARE(getU32(after.data()), 115200u);
        QCOMPARE(std::string(reinterpret_cast<const char*>(after.data() + 4)), std::string("192.168.5.5:9000"));
        QCOMPARE(getU16(after.data() + 56), uint16_t(4464));  // 70000 kept in 16 bits
        QVERIFY(std::equal(after.begin() + 58, after.end(), before.begin() + 58));  // sent back unchanged
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
        w.form->execConfigForm = [&](TConfigForm& d) {
            return int(d.rbFastRelay->isChecked() && d.UserName->text() == "fleet" && d.Password->maxLength() == 16
                           ? QDialog::Rejected
                           : QDialog::Accepted);
        };
        std::string before = w.dir.read("Config.xml");
        w.form->mnuConfigClick();
        QCOMPARE(w.dir.read("Config.xml"), before);
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
};

QTEST_MAIN(UiTest)
#include "test_ui.moc"
