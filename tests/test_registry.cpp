#include <gtest/gtest.h>

#include <cstring>

#include "support/TestSupport.h"

namespace {
std::vector<unsigned> bits(const uint8_t map[32]) {
    std::vector<unsigned> out;
    for (unsigned n = 0; n < 256; ++n)
        if (map[n >> 3] & (1u << (n & 7))) out.push_back(n);
    return out;
}
}  // namespace

struct LedCase {
    const char* text;
    const char* norm;
    std::vector<unsigned> set;
};

class LedTable : public ::testing::TestWithParam<LedCase> {};

TEST_P(LedTable, ParseLedNums) {
    const LedCase& c = GetParam();
    uint8_t map[32];
    std::memset(map, 0xFF, sizeof map);  // whatever was there before is replaced
    EXPECT_EQ(parseLedNums(c.text, map), c.norm) << c.text;
    EXPECT_EQ(bits(map), c.set) << c.text;
}

INSTANTIATE_TEST_SUITE_P(Lists, LedTable,
                         ::testing::Values(LedCase{"0,9,21,", "0,9,21", {0, 9, 21}},
                                           LedCase{"007,300", "7,300", {7, 44}},
                                           LedCase{"255", "255", {}},
                                           LedCase{"1, 2", "", {}},
                                           LedCase{"3", "3", {3}},
                                           LedCase{",5", "0,5", {0, 5}},
                                           LedCase{",", "0", {0}},
                                           LedCase{"", "", {}},
                                           LedCase{"5,5", "5,5", {5}}));

TEST(LedNums, TextOfSetIsAscending) {
    uint8_t map[32];
    parseLedNums("21,0,9", map);
    EXPECT_EQ(ledNumsText(map), "0,9,21");
}

TEST(Registry, CreateDtuFillsRowAndRefusesFreePort) {
    CoreFixture f;
    EXPECT_EQ(f.core->createDtu(3, "A1", "", "", "c", true), nullptr);  // port not open
    EXPECT_TRUE(f.rows().empty());
    ASSERT_TRUE(f.core->openPort(3, 0, 1, 2));
    _tagDTU* fixed = f.core->createDtu(3, "A1", "10.0.0.5:5000", "1,2", "first", true);
    _tagDTU* loose = f.core->createDtu(3, "A2", "", "x", "second", true);
    ASSERT_TRUE(fixed && loose);
    Row* r1 = f.row("A1");
    Row* r2 = f.row("A2");
    EXPECT_EQ(r1->cells[ColOn], ON_MARK);
    EXPECT_EQ(r1->cells[ColAddress], "10.0.0.5:5000");
    EXPECT_EQ(r1->cells[ColController], "1,2");
    EXPECT_EQ(r2->cells[ColOn], OFF_MARK);
    EXPECT_EQ(r2->cells[ColAddress], "0.0.0.0:0");
    EXPECT_EQ(r2->cells[ColController], "");
    for (Row* r : {r1, r2}) {
        EXPECT_EQ(r->cells[ColLastLogon], "0000-00-00 00:00:00");
        EXPECT_EQ(r->cells[ColTx], "0");
        EXPECT_EQ(r->cells[ColRx], "0");
        EXPECT_TRUE(r->checked);  // Kestrel: both selected
        EXPECT_EQ(r->groupId, 3);
    }
    EXPECT_TRUE(fixed->fixedAddr);
    EXPECT_FALSE(fixed->online);
}

TEST(Registry, UnknowPortKeepsOneSelected) {
    CoreFixture f;
    ASSERT_TRUE(f.core->openPort(2, 0, 1, 0));
    _tagDTU* a = f.core->createDtu(2, "A", "", "5", "", true);
    _tagDTU* b = f.core->createDtu(2, "B", "", "", "", true);
    EXPECT_TRUE(a->selected);
    EXPECT_FALSE(b->selected);
    EXPECT_FALSE(f.row("B")->checked);
    EXPECT_EQ(f.row("A")->cells[ColController], " ");  // no LED numbers on Unknow
}

TEST(Registry, OverlongDeviceNumberIsRefused) {
    CoreFixture f;
    ASSERT_TRUE(f.core->openPort(2, 0, 1, 0));
    EXPECT_NE(f.core->createDtu(2, "12345678901234", "", "", "", false), nullptr);
    EXPECT_EQ(f.core->createDtu(2, "123456789012345", "", "", "", false), nullptr);
}

TEST(Registry, FindDtuTakesLowestPortFirst) {
    CoreFixture f;
    f.core->openPort(2, 0, 1, 0);
    f.core->openPort(1, 0, 1, 0);
    _tagDTU* on2 = f.core->createDtu(2, "SAME", "", "", "", false);
    _tagDTU* on1 = f.core->createDtu(1, "SAME", "", "", "", false);
    Registry& reg = f.core->registry();
    RegGuard g(reg.mutex());
    EXPECT_EQ(reg.findDtu(g, "SAME"), on1);
    EXPECT_NE(on1, on2);
    EXPECT_EQ(reg.findDtu(g, "SAM"), nullptr);
}

TEST(Registry, IndexFollowsRenameDeleteAndReload) {
    // A hand-edited file gives "DUP" to COM7 and COM3, and COM3 twice.
    CoreFixture f(sysLine(DIRECT_SYS) +
                  "<CommPort port=\"7\" netproto=\"0\" appproto=\"1\" serproto=\"1\" cmt=\"\">"
                  "<DTU id=\"DUP\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/><DTU id=\"X\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/></CommPort>"
                  "<CommPort port=\"3\" netproto=\"0\" appproto=\"1\" serproto=\"1\" cmt=\"\">"
                  "<DTU id=\"Y\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/><DTU id=\"DUP\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/>"
                  "<DTU id=\"DUP\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/></CommPort></VSPConfig>");
    ASSERT_TRUE(f.load());  // after a load, as after every change below
    auto owner = [&](const std::string& devNo) -> std::string {
        _tagDTU* d = findDtu(*f.core, devNo);
        if (!d) return "none";
        return "COM" + std::to_string(d->portNo) + "/" + std::to_string(d->listItem->seq);
    };
    const std::string firstOn3 = "COM3/" + std::to_string(f.row("Y")->seq + 1);
    EXPECT_EQ(owner("DUP"), firstOn3);  // lowest port, then list order
    PropResult r;
    r.fieldsChanged = true;
    r.devNo = "Z";
    r.ledNums = "";
    r.comment = "";
    f.core->applyEdit(f.row("X")->seq, r);  // a rename moves the key
    EXPECT_EQ(owner("X"), "none");
    EXPECT_EQ(owner("Z"), "COM7/" + std::to_string(f.row("Z")->seq));
    // Deleting the one that answers lets the next in line answer.
    _tagDTU* first = findDtu(*f.core, "DUP");
    f.core->removeDtu(first->listItem->seq);
    _tagDTU* second = findDtu(*f.core, "DUP");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->portNo, 3);
    f.core->removeDtu(second->listItem->seq);
    EXPECT_EQ(findDtu(*f.core, "DUP")->portNo, 7);
    // A port made anew starts with an empty list and an empty index.
    f.core->removeDtu(f.row("Y")->seq);
    EXPECT_FALSE(f.core->portOpen(3));
    f.core->openPort(3, 0, 1, 1);
    EXPECT_EQ(owner("Y"), "none");
    EXPECT_NE(f.core->createDtu(3, "DUP", "", "", "", true), nullptr);
    EXPECT_EQ(findDtu(*f.core, "DUP")->portNo, 3);
}

TEST(Registry, RemovingLastDtuClosesPort) {
    CoreFixture f;
    f.core->openPort(3, 0, 1, 1);
    _tagDTU* a = f.core->createDtu(3, "A", "", "", "", true);
    _tagDTU* b = f.core->createDtu(3, "B", "", "", "", true);
    f.core->removeDtu(a->listItem->seq);
    EXPECT_TRUE(f.core->portOpen(3));
    EXPECT_EQ(f.rows().size(), 1u);
    f.core->removeDtu(b->listItem->seq);
    EXPECT_FALSE(f.core->portOpen(3));
    EXPECT_TRUE(f.rows().empty());
    EXPECT_TRUE(f.ports.front()->deleted);
}

TEST(Registry, PortOpenAndCloseEdges) {
    CoreFixture f;
    EXPECT_TRUE(f.core->openPort(4, 0, 1, 0));
    EXPECT_TRUE(f.core->openPort(4, 0, 1, 3));  // already open: unchanged, no second port
    EXPECT_EQ(f.ports.size(), 1u);
    EXPECT_EQ(f.core->portSerProto(4), 0u);
    EXPECT_TRUE(eventually([&] { return f.ports[0]->dsr && f.ports[0]->cts; }));  // raised by the reader
    f.core->closePort(9);  // never opened
    f.failCreate = true;
    EXPECT_FALSE(f.core->openPort(5, 0, 1, 0));
    EXPECT_FALSE(f.core->portOpen(5));
    f.core->withRows([](const auto&, const std::vector<int>& groups) { EXPECT_EQ(groups, std::vector<int>{4}); });
}

TEST(Registry, AttachTakesOverWhenCreateFails) {
    CoreFixture f;
    f.failCreate = true;
    f.core->openPort(6, 0, 1, 0);  // creates the fake; make the next one attach
    ManagerOptions o;
    TempDir d;
    o.cfgFileName = d.file("Config.xml");
    std::shared_ptr<FakePort> p = std::make_shared<FakePort>();
    p->createOk = false;
    p->attachOk = true;
    o.makePort = [p] { return p; };
    Manager m(f.msgs, f.clock, o);
    EXPECT_TRUE(m.openPort(6, 0, 1, 0));
    EXPECT_TRUE(m.portOpen(6));
}

TEST(Registry, CheckChangesAfterStartUpFollowTheRules) {
    CoreFixture f(sysLine(DIRECT_SYS) +
                  "<CommPort port=\"3\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\">"
                  "<DTU id=\"A\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/><DTU id=\"B\" ip=\"\" cmt=\"\" devids=\"\" sel=\"0\"/></CommPort>"
                  "<CommPort port=\"4\" netproto=\"0\" appproto=\"1\" serproto=\"1\" cmt=\"\">"
                  "<DTU id=\"C\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/><DTU id=\"D\" ip=\"\" cmt=\"\" devids=\"\" sel=\"0\"/></CommPort>"
                  "</VSPConfig>");
    f.core->FormCreate();
    ASSERT_FALSE(f.core->terminateRequested);
    EXPECT_FALSE(f.core->btnSaveSelectEnabled);  // loading does not count as a change
    f.core->setChecked(f.row("B")->seq, true);         // Unknow: B replaces A
    EXPECT_FALSE(f.row("A")->checked);
    EXPECT_FALSE(f.row("A")->dtu->selected);
    EXPECT_TRUE(f.row("B")->dtu->selected);
    EXPECT_TRUE(f.core->btnSaveSelectEnabled);
    f.core->setChecked(f.row("D")->seq, true);  // No-Ack: both stay
    EXPECT_TRUE(f.row("C")->checked);
    f.core->BtnSelectAllClick(f.row("A")->seq);  // Unknow port: nothing
    EXPECT_FALSE(f.row("A")->checked);
    f.core->BtnDeselectAllClick(f.row("C")->seq);
    EXPECT_FALSE(f.row("C")->checked || f.row("D")->checked);
    EXPECT_TRUE(f.row("B")->checked);
    f.core->BtnSelectAllClick(f.row("D")->seq);
    EXPECT_TRUE(f.row("C")->checked && f.row("D")->checked);
    EXPECT_FALSE(f.core->btnSelectAllEnabled);
    f.core->VSPListViewClick(f.row("A")->seq);
    EXPECT_FALSE(f.core->btnSelectAllEnabled);
    f.core->VSPListViewClick(f.row("C")->seq);
    EXPECT_TRUE(f.core->btnSelectAllEnabled);
}
