// The window's changes to ports, DTUs and settings: records, rows and
// Config.xml stay in step, and the file is saved after each action.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <pugixml.hpp>

#include "support/BridgeFixture.h"

namespace {
std::string attrs(pugi::xml_node n) {
    std::string out;
    for (pugi::xml_attribute a : n.attributes()) out += std::string(a.name()) + "=" + a.value() + " ";
    return out;
}

struct WriterFixture : CoreFixture {
    explicit WriterFixture(const std::string& ports = "", const std::string& sys = "")
        : CoreFixture(sysLine(sys.empty() ? "udpport=\"" + std::to_string(freeUdpPort()) +
                                                "\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\""
                                          : sys) +
                      ports + "</VSPConfig>") {
        core->FormCreate();
        EXPECT_FALSE(core->terminateRequested);
    }
    pugi::xml_document saved() {
        pugi::xml_document d;
        d.load_file(dir.file("Config.xml").c_str());
        return d;
    }
    pugi::xml_node savedPort(pugi::xml_document& d, int n) {
        for (auto p : d.document_element().children("CommPort"))
            if (p.attribute("port").as_int() == n) return p;
        return {};
    }
};
}  // namespace

TEST(Writers, CreatingDtusOpensPortsAndWritesElements) {
    WriterFixture f;
    EXPECT_EQ(f.core->btnCreatePortDtuClick("A100", 7, "first"), 0u);
    EXPECT_TRUE(f.core->portOpen(7));
    auto d = f.saved();
    pugi::xml_node port = f.savedPort(d, 7);
    ASSERT_TRUE(port);
    EXPECT_EQ(attrs(port), "port=7 netproto=0 appproto=1 serproto=0 cmt= ");
    EXPECT_EQ(attrs(port.child("DTU")), "id=A100 ip= cmt=first devids= sel=1 ");
    EXPECT_TRUE(f.row("A100")->checked);
    EXPECT_TRUE(f.core->btnSaveSelectEnabled);
    f.core->btnCreatePortDtuClick("A101", 7, "");  // second on an Unknow port: not selected
    f.core->btnCreatePortDtuClick("", 7, "");      // an empty number is a number too
    d = f.saved();
    port = f.savedPort(d, 7);
    EXPECT_EQ(std::string(port.find_child_by_attribute("DTU", "id", "A101").attribute("sel").value()), "0");
    EXPECT_FALSE(f.row("A101")->checked);
    EXPECT_NE(f.row(""), nullptr);
}

TEST(Writers, PortThatFailedAtStartIsWrittenAsCreated) {
    WriterFixture f;
    // The element the failed port left: another protocol, two DTUs, and a second element of the same port.
    CoreFixture start(f.dir.read("Config.xml").substr(0, f.dir.read("Config.xml").rfind("</VSPConfig>")) +
                      portXml(3, 2, 0, dtuXml("OLD1", "1") + dtuXml("OLD2")) + portXml(3, 0, 1, dtuXml("OLD3")) +
                      "</VSPConfig>");
    start.failCreate = true;
    ASSERT_TRUE(start.load());
    ASSERT_FALSE(start.core->portOpen(3));
    start.failCreate = false;
    start.core->btnCreatePortDtuClick("NEW", 3, "");
    EXPECT_EQ(start.core->portSerProto(3), 0u);
    pugi::xml_document d;
    d.load_file(start.dir.file("Config.xml").c_str());
    std::vector<std::string> ports;
    for (auto p : d.document_element().children("CommPort")) {
        ports.push_back(attrs(p));
        for (auto dtu : p.children()) ports.push_back(attrs(dtu));
    }
    EXPECT_EQ(ports, (std::vector<std::string>{"port=3 netproto=0 appproto=1 serproto=0 cmt= ",
                                               "id=NEW ip= cmt= devids= sel=1 "}));
}

TEST(Writers, PortListedWithoutDtusKeepsItsElement) {
    WriterFixture f(portXml(4, 1, 1, ""));
    f.core->btnCreatePortDtuClick("A", 4, "");
    auto d = f.saved();
    EXPECT_EQ(attrs(f.savedPort(d, 4)), "port=4 netproto=0 appproto=1 serproto=1 cmt= ");
    EXPECT_TRUE(f.savedPort(d, 4).child("DTU"));
}

TEST(Writers, DuplicateNumberSelectsTheExistingRowAndWritesNothing) {
    WriterFixture f(portXml(9, 1, 1, dtuXml("A100")));
    std::string before = f.dir.read("Config.xml");
    EXPECT_EQ(f.core->btnCreatePortDtuClick("A100", 4, ""), f.row("A100")->seq);
    EXPECT_FALSE(f.core->portOpen(4));
    EXPECT_EQ(f.dir.read("Config.xml"), before);
    f.core->btnCreatePortDtuClick("B", 9, "");  // No-Ack: selected
    EXPECT_TRUE(f.row("B")->checked);
}

TEST(Writers, PortCreationFailureWritesNothing) {
    WriterFixture f;
    std::string before = f.dir.read("Config.xml");
    f.failCreate = true;
    f.core->btnCreatePortDtuClick("X", 3, "");
    ASSERT_EQ(f.msgs.shown.size(), 1u);
    EXPECT_EQ(f.msgs.shown[0].text, "Create virtual serial port error, please check your computer.");
    EXPECT_EQ(f.msgs.shown[0].caption, "Warning");
    EXPECT_TRUE(f.rows().empty());
    EXPECT_EQ(f.dir.read("Config.xml"), before);
}

TEST(Writers, OverlongNumberFromTheWindowIsRefusedCleanly) {
    WriterFixture f;
    std::string before = f.dir.read("Config.xml");
    f.core->btnCreatePortDtuClick("123456789012345", 3, "");
    EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"Create dtu error, please check!"});
    EXPECT_FALSE(f.core->portOpen(3));  // not left open without a DTU
    EXPECT_EQ(f.dir.read("Config.xml"), before);
}

TEST(Writers, DeletingAsksAndRemovesElementsAndPorts) {
    WriterFixture f(portXml(2, 0, 1, dtuXml("A") + dtuXml("B", "", false)) + portXml(5, 1, 1, dtuXml("C") + dtuXml("D")));
    f.msgs.answers = {MsgAnswer::No};
    f.core->BtnDelDtuClick({f.row("A")->seq});
    EXPECT_NE(f.row("A"), nullptr);
    EXPECT_EQ(f.msgs.shown[0].text, "Are you sure you want delete all selected DTUs?");
    EXPECT_EQ(f.msgs.shown[0].caption, "Warning");
    f.msgs.answers = {MsgAnswer::Yes};
    f.core->BtnDelDtuClick({f.row("A")->seq, f.row("B")->seq, f.row("C")->seq});
    EXPECT_FALSE(f.core->portOpen(2));
    EXPECT_TRUE(f.core->portOpen(5));
    auto d = f.saved();
    EXPECT_FALSE(f.savedPort(d, 2));
    ASSERT_TRUE(f.savedPort(d, 5));
    EXPECT_EQ(std::distance(f.savedPort(d, 5).children("DTU").begin(), f.savedPort(d, 5).children("DTU").end()), 1);
    EXPECT_EQ(f.rows().size(), 1u);
    f.core->BtnDelDtuClick({});  // nothing selected: no question
    EXPECT_EQ(f.msgs.shown.size(), 2u);
    f.core->btnCreatePortDtuClick("E", 2, "");  // the port comes back as Unknow
    EXPECT_EQ(f.core->portSerProto(2), 0u);
}

TEST(Writers, ProtocolChangeToUnknowUnchecksAndBlanks) {
    WriterFixture f(portXml(3, 2, 1, dtuXml("K1", "1,2") + dtuXml("K2", "4")) + portXml(4, 2, 1, dtuXml("O1", "7")));
    PropResult r;
    r.protoChanged = true;
    r.proto = 0;
    f.core->applyEdit(f.row("K1")->seq, r);
    EXPECT_FALSE(f.row("K1")->checked || f.row("K2")->checked);
    EXPECT_FALSE(f.row("K1")->dtu->selected);
    EXPECT_EQ(f.row("K1")->cells[ColController], "");
    EXPECT_FALSE(f.core->btnSelectAllEnabled);
    EXPECT_TRUE(f.row("O1")->checked);
    EXPECT_EQ(f.row("O1")->cells[ColController], "7");
    auto d = f.saved();
    EXPECT_EQ(std::string(f.savedPort(d, 3).attribute("serproto").value()), "0");
    EXPECT_EQ(std::string(f.savedPort(d, 3).child("DTU").attribute("sel").value()), "0");
    EXPECT_FALSE(f.core->btnSaveSelectEnabled);
}

TEST(Writers, ProtocolChangeToControllerFillsLedCells) {
    WriterFixture f(portXml(3, 1, 1, dtuXml("N1") + dtuXml("N2")));
    PropResult led;
    led.fieldsChanged = true;
    led.devNo = "N1";
    led.ledNums = "9,3";
    led.comment = "";
    f.core->applyEdit(f.row("N1")->seq, led);  // No-Ack: the numbers are kept, not shown
    EXPECT_EQ(f.row("N1")->cells[ColController], " ");
    PropResult r;
    r.protoChanged = true;
    r.proto = 4;
    f.core->applyEdit(f.row("N1")->seq, r);
    EXPECT_EQ(f.row("N1")->cells[ColController], "3,9");
    EXPECT_EQ(f.row("N2")->cells[ColController], " ");  // no LED numbers: cell kept
    EXPECT_TRUE(f.core->btnSelectAllEnabled);
}

TEST(Writers, EditingFieldsRenamesAndReplacesLeds) {
    WriterFixture f(portXml(3, 2, 1, dtuXml("OLD", "1,2")));
    PropResult r;
    r.protoChanged = true;
    r.proto = 3;
    r.fieldsChanged = true;
    r.devNo = "NEW";
    r.ledNums = "3,5";
    r.comment = "moved";
    Row* row = f.row("OLD");
    f.core->applyEdit(row->seq, r);
    EXPECT_EQ(row->caption, "NEW");
    EXPECT_STREQ(row->dtu->devNo, "NEW");
    EXPECT_EQ(row->cells[ColController], "3,5");
    EXPECT_EQ(row->cells[ColComment], "moved");
    EXPECT_FALSE(ledHas(row->dtu->ledMap, 1));
    EXPECT_TRUE(ledHas(row->dtu->ledMap, 5));
    auto d = f.saved();
    EXPECT_EQ(attrs(f.savedPort(d, 3).child("DTU")), "id=NEW ip= cmt=moved devids=3,5 sel=1 ");
    EXPECT_EQ(std::string(f.savedPort(d, 3).attribute("serproto").value()), "3");
    {
        EXPECT_EQ(findDtu(*f.core, "NEW"), row->dtu);
        EXPECT_EQ(findDtu(*f.core, "OLD"), nullptr);
    }
    std::string before = f.dir.read("Config.xml");
    f.core->applyEdit(row->seq, PropResult{});  // "Ok" without a change
    EXPECT_EQ(f.dir.read("Config.xml"), before);
}

struct KeepLedCase {
    int proto;
    const char* shownLeds;  // what the dialog's LED field holds on "Ok"
    const char* devids;     // in the file afterwards
    const char* cell;       // Controller cell once the port is Harrier
};
class KeepLeds : public ::testing::TestWithParam<KeepLedCase> {};

TEST_P(KeepLeds, OnlyAnEditedLedFieldRewritesDevids) {
    const KeepLedCase& c = GetParam();
    WriterFixture f(portXml(3, c.proto, 1, dtuXml("L", "9,2")));
    PropResult r;
    r.fieldsChanged = true;
    r.devNo = "L";
    r.ledNums = c.shownLeds;
    r.comment = "a new comment";
    f.core->applyEdit(f.row("L")->seq, r);
    auto d = f.saved();
    EXPECT_EQ(std::string(f.savedPort(d, 3).child("DTU").attribute("devids").value()), c.devids);
    EXPECT_EQ(std::string(f.savedPort(d, 3).child("DTU").attribute("cmt").value()), "a new comment");
    PropResult harrier;
    harrier.protoChanged = true;
    harrier.proto = 4;
    f.core->applyEdit(f.row("L")->seq, harrier);
    EXPECT_EQ(f.row("L")->cells[ColController], c.cell);
}

INSTANTIATE_TEST_SUITE_P(Protocols, KeepLeds,
                         // Without a controller protocol the numbers are not loaded, and the field shows none.
                         ::testing::Values(KeepLedCase{0, "", "9,2", " "}, KeepLedCase{1, "", "9,2", " "},
                                           KeepLedCase{2, "2,9", "9,2", "2,9"}, KeepLedCase{1, "5", "5", "5"},
                                           KeepLedCase{2, "", "", ""}));

TEST(Writers, RenameThatDoesNotFitIsRefusedWhole) {
    WriterFixture f(portXml(3, 1, 1, dtuXml("R")));
    std::string before = f.dir.read("Config.xml");
    PropResult r;
    r.protoChanged = true;
    r.proto = 2;
    r.fieldsChanged = true;
    r.devNo = "\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84\xC3\x84";  // 8 characters, 16 bytes
    r.ledNums = "";
    r.comment = "other";
    f.core->applyEdit(f.row("R")->seq, r);
    EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"Create dtu error, please check!"});
    EXPECT_NE(f.row("R"), nullptr);
    EXPECT_EQ(f.row("R")->cells[ColComment], "");
    EXPECT_EQ(f.core->portSerProto(3), 1u);
    EXPECT_EQ(f.dir.read("Config.xml"), before);
}

TEST(Writers, LineSpeedGapIsStoredLoadedAndOffMeansAbsent) {
    WriterFixture f(portXml(3, 0, 1, dtuXml("A")) + portXml(4, 1, 1, dtuXml("B")));
    EXPECT_FALSE(f.core->portLineGap(3));
    PropResult on;
    on.lineGapChanged = true;
    on.lineGap = true;
    f.core->applyEdit(f.row("A")->seq, on);
    EXPECT_TRUE(f.core->portLineGap(3));
    EXPECT_FALSE(f.core->portLineGap(4));
    EXPECT_TRUE(f.core->dtuView(f.row("A")->seq).lineGap);
    const std::string withGap = f.dir.read("Config.xml");
    auto d = f.saved();
    EXPECT_EQ(std::string(f.savedPort(d, 3).attribute("linegap").value()), "1");
    EXPECT_FALSE(f.savedPort(d, 4).attribute("linegap"));
    {
        // A manager started on the saved file has it again.
        CoreFixture again(withGap);
        ASSERT_TRUE(again.load());
        EXPECT_TRUE(again.core->portLineGap(3));
        EXPECT_FALSE(again.core->portLineGap(4));
    }
    PropResult off;
    off.lineGapChanged = true;
    f.core->applyEdit(f.row("A")->seq, off);
    EXPECT_FALSE(f.core->portLineGap(3));
    std::string expected = withGap;
    expected.erase(expected.find(" linegap=\"1\""), 12);
    EXPECT_EQ(f.dir.read("Config.xml"), expected);
}

TEST(Writers, SaveSelectWritesEveryDtu) {
    WriterFixture f(portXml(3, 1, 1, dtuXml("A") + dtuXml("B", "", false)));
    f.core->setChecked(f.row("B")->seq, true);
    f.core->setChecked(f.row("A")->seq, false);
    f.core->BtnSaveSelectClick();
    EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"Save sucessfully!"});
    EXPECT_EQ(f.msgs.shown[0].caption, "Ok");
    auto d = f.saved();
    auto port = f.savedPort(d, 3);
    EXPECT_EQ(std::string(port.find_child_by_attribute("DTU", "id", "A").attribute("sel").value()), "0");
    EXPECT_EQ(std::string(port.find_child_by_attribute("DTU", "id", "B").attribute("sel").value()), "1");
    EXPECT_FALSE(f.core->btnSaveSelectEnabled);
}

TEST(Settings, PortChangeRemakesTheSocketAtOnce) {
    WriterFixture f(portXml(3, 0, 1, dtuXml("A")));
    uint16_t newPort = freeUdpPort();
    SettingsInput in{std::to_string(newPort), 0, "", ""};
    f.core->applySettings(in);
    EXPECT_EQ(f.core->net().udpPort, newPort);
    auto d = f.saved();
    EXPECT_EQ(d.document_element().child("Sys").attribute("udpport").as_int(), newPort);
    DtuSimOptions o;
    o.devNo = "A";
    o.peer = VDIPAddress(127, 0, 0, 1, newPort);
    DtuSim sim(o);
    ASSERT_TRUE(sim.start());
    EXPECT_TRUE(eventually([&] {
        sim.logon();
        return f.row("A")->dtu->online.load();
    }));
    std::string before = f.dir.read("Config.xml");
    for (const char* bad : {"65535", "0", "-3"}) f.core->applySettings({bad, 0, "", ""});
    f.core->applySettings({std::to_string(newPort), 0, "", ""});
    EXPECT_EQ(f.dir.read("Config.xml"), before);
    EXPECT_EQ(f.core->net().udpPort, newPort);
    f.core->applySettings({"12ab", 1, "u", "p"});
    EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"'12ab' is not a valid integer value"});
    EXPECT_EQ(f.core->net().netMode, 0);  // nothing of the dialog applied
}

TEST(Settings, TcpPortChangesWhenNoUdp) {
    WriterFixture f("", "udpport=\"\" tcpport=\"5000\" mode=\"2\" usr=\"u\" pwd=\"p\"");
    f.core->applySettings({"6000", 2, "u", "p"});
    auto d = f.saved();
    EXPECT_EQ(d.document_element().child("Sys").attribute("tcpport").as_int(), 6000);
    EXPECT_EQ(f.core->net().relayAddr.Port(), 5000);  // the relay endpoint follows at the next start
}

TEST(Settings, ModeChangesTakeDtusOffLineAndCredentials) {
    WriterFixture f(portXml(3, 0, 1, dtuXml("A") + dtuXml("B")), "udpport=\"" + std::to_string(freeUdpPort()) +
                                                                 "\" tcpport=\"\" mode=\"2\" usr=\"u\" pwd=\"p\"");
    RelayDtuStatePkt st;
    st.devNo = "A";
    std::memcpy(st.wire, "\x0a\x00\x00\x05\x00\x50", 6);
    std::vector<uint8_t> p = encodeRelayDtuState(st);
    f.core->dispatchPacket(f.core->net().relayAddr, p.data(), static_cast<uint32_t>(p.size()));
    f.core->TimerRuningTimer();
    ASSERT_EQ(f.row("A")->cells[ColOn], ON_MARK);
    const std::string port = std::to_string(f.core->net().udpPort);  // the dialog shows the port in use
    f.core->applySettings({port, 0, "ignored", "ignored"});
    EXPECT_EQ(f.row("A")->cells[ColOn], OFF_MARK);
    EXPECT_EQ(f.row("A")->cells[ColAddress], "0.0.0.0:0");
    EXPECT_FALSE(f.row("A")->dtu->online);
    auto d = f.saved();
    EXPECT_EQ(attrs(d.document_element().child("Sys")).substr(attrs(d.document_element().child("Sys")).find("mode")),
              "mode=0 usr= pwd= ");
    f.core->applySettings({port, 1, "newuser", "0123456789abcdef"});
    d = f.saved();
    pugi::xml_node sys = d.document_element().child("Sys");
    EXPECT_EQ(std::string(sys.attribute("mode").value()), "1");
    EXPECT_EQ(std::string(sys.attribute("usr").value()), "newuser");
    EXPECT_EQ(std::string(sys.attribute("pwd").value()), "0123456789abcdef");
    EXPECT_TRUE(f.core->timerLogonTOEnabled);  // timers and logon follow the new mode at the next start
    EXPECT_FALSE(f.core->timerRuningEnabled);
    std::string before = f.dir.read("Config.xml");
    f.core->applySettings({port, 1, "newuser", "0123456789abcdef"});
    EXPECT_EQ(f.dir.read("Config.xml"), before);
}
