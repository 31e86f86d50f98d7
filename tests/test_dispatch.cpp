// The receive dispatch, fed packets directly: what each kind of packet does
// to the DTU record and the port in each mode.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <chrono>
#include <cstring>
#include <thread>

#include "link/LinkProtocol.h"
#include "support/BridgeFixture.h"

namespace {
std::string packet(const std::string& devNo, uint8_t type, const std::string& body = "") {
    return str(encodeLinkPacket(devNo, type, reinterpret_cast<const uint8_t*>(body.data()), body.size()));
}
// A RelayDtuState; `wire` is the address and port as they travel.
std::string relayState(const std::string& devNo, const char (&wire)[7], int64_t lastLogon = 0) {
    RelayDtuStatePkt st;
    st.devNo = devNo;
    std::memcpy(st.wire, wire, 6);
    st.lastLogon = lastLogon;
    return str(encodeRelayDtuState(st));
}
constexpr char NO_WIRE[7] = "\0\0\0\0\0\0";

struct DispatchFixture : ::testing::Test {
    DispatchFixture() {
        f.core->openPort(3, 0, 1, 0);
        dtu = f.core->createDtu(3, "D1", "", "", "", true);
        port = f.port("COM3");
        f.core->net().relayAddr = relay;
    }
    void send(const std::string& p, const VDIPAddress& from) {
        f.core->dispatchPacket(from, reinterpret_cast<const uint8_t*>(p.data()), static_cast<uint32_t>(p.size()));
    }
    void logon() {
        send(packet("D1", DtuLogon), dtuAddr);
        ASSERT_TRUE(dtu->online);
    }
    CoreFixture f;
    _tagDTU* dtu;
    std::shared_ptr<FakePort> port;
    VDIPAddress dtuAddr{10, 0, 0, 9, 4000};
    VDIPAddress relay{192, 0, 2, 1, 21012};
};
}  // namespace

TEST_F(DispatchFixture, LogonTakesAddressTimeAndCount) {
    send(packet("D1", DtuLogon, "xyz"), dtuAddr);
    EXPECT_TRUE(dtu->online);
    EXPECT_EQ(dtu->rxBytes, 19u);
    EXPECT_EQ(dtu->lastLogon, f.clock.now.load());
    EXPECT_TRUE(dtu->addr == dtuAddr);
}

TEST_F(DispatchFixture, MalformedPacketsChangeNothing) {
    send(packet("D1", DtuLogon).substr(0, 15), dtuAddr);      // too short
    send(std::string(15, 'A') + std::string(1, '\0'), dtuAddr);  // no NUL in the number
    send(packet("NOBODY", DtuLogon), dtuAddr);
    EXPECT_FALSE(dtu->online);
    EXPECT_EQ(dtu->rxBytes, 0u);
}

TEST_F(DispatchFixture, DataRules) {
    send(packet("D1", DtuData, "early"), dtuAddr);  // off line: counted, dropped
    EXPECT_EQ(dtu->rxBytes, 21u);
    EXPECT_EQ(port->written(), "");
    logon();
    f.clock.advanceSeconds(5);
    send(packet("D1", DtuData), dtuAddr);  // empty payload: nothing written, time refreshed
    EXPECT_EQ(dtu->rxBytes, 53u);
    EXPECT_EQ(dtu->lastLogon, f.clock.now.load());
    send(packet("D1", DtuData, "other-port"), VDIPAddress(10, 0, 0, 9, 4001));
    EXPECT_EQ(dtu->rxBytes, 79u);
    EXPECT_EQ(port->written(), "");
    send(packet("D1", DtuData, "ok"), dtuAddr);
    EXPECT_EQ(port->written(), "ok");
    send(packet("D1", RelayDtuData, "relayed"), dtuAddr);  // not in Direct mode, not counted
    EXPECT_EQ(dtu->rxBytes, 97u);
    f.core->setChecked(dtu->listItem->seq, false);
    dtu->selected = false;
    send(packet("D1", DtuData, "unsel"), dtuAddr);
    EXPECT_EQ(port->written(), "ok");
}

TEST_F(DispatchFixture, RelayModeTakesDataFromAnySenderAndDropsLogon) {
    f.core->net().netMode = 2;
    send(packet("D1", DtuLogon), dtuAddr);
    EXPECT_FALSE(dtu->online);
    EXPECT_EQ(dtu->rxBytes, 0u);
    send(relayState("D1", "\x0a\x00\x00\x09\x0f\xa0"), relay);
    EXPECT_TRUE(dtu->online);
    EXPECT_EQ(dtu->addr.ToText(), "10.0.0.9:4000");
    send(packet("D1", DtuData, "a"), VDIPAddress(5, 5, 5, 5, 5));
    send(packet("D1", RelayDtuData, "b"), relay);
    EXPECT_EQ(port->written(), "ab");
}

struct DroppedCase {
    int mode;
    uint8_t type;
};
class DroppedInMode : public DispatchFixture, public ::testing::WithParamInterface<DroppedCase> {};

// Relay packets that the mode has no use for change nothing.
TEST_P(DroppedInMode, ChangesNothing) {
    logon();
    f.core->net().netMode = GetParam().mode;
    const uint32_t rx = dtu->rxBytes;
    const std::string addr = dtu->addr.ToText();
    // As a state packet it puts the DTU at 10.0.0.9:4000; as data it carries "xy".
    send(packet("D1", GetParam().type, std::string("\x0a\x00\x00\x09\x0f\xa0", 6) + std::string(8, 'x')), relay);
    EXPECT_EQ(dtu->rxBytes, rx);
    EXPECT_EQ(dtu->addr.ToText(), addr);
    EXPECT_TRUE(dtu->online);
    EXPECT_EQ(port->written(), "");
}

INSTANTIATE_TEST_SUITE_P(Relay, DroppedInMode,
                         ::testing::Values(DroppedCase{1, RelayDtuData}, DroppedCase{0, RelayDtuData},
                                           DroppedCase{0, RelayDtuState}));

TEST_F(DispatchFixture, RelayDtuStateOffLineKeepsOrTakesTime) {
    f.core->net().netMode = 1;
    logon();
    int64_t before = dtu->lastLogon;
    send(relayState("D1", NO_WIRE), relay);
    EXPECT_FALSE(dtu->online);
    EXPECT_EQ(dtu->lastLogon, before);  // zero FILETIME: unchanged
    EXPECT_EQ(dtu->addr.ToText(), "0.0.0.0:0");
    const int64_t ft = (int64_t{1} << 32) | 0x10;
    send(relayState("D1", NO_WIRE, ft), relay);
    EXPECT_EQ(dtu->lastLogon, ft);
    send(relayState("D1", NO_WIRE).substr(0, 29), relay);  // 29 bytes: ignored
    EXPECT_EQ(dtu->lastLogon, (int64_t{1} << 32) | 0x10);
}

TEST_F(DispatchFixture, RelayLogonAnswer) {
    auto answer = [&](uint16_t version, uint16_t keep) {
        send(str(encodeRelayLogonAnswer({version, keep})), relay);
    };
    answer(300, 70);  // Direct mode: dropped
    EXPECT_EQ(f.core->relay().serverVersion, 0);
    f.core->net().netMode = 1;
    answer(256, 0);
    EXPECT_EQ(f.core->relay().serverVersion, 256);
    EXPECT_FALSE(f.core->relay().logonOk);
    answer(257, 70);
    EXPECT_TRUE(f.core->relay().logonOk);
    EXPECT_EQ(f.core->relay().keepAliveTicks, 20);
    answer(257, 1);
    EXPECT_EQ(f.core->relay().keepAliveTicks, -3);
}

TEST_F(DispatchFixture, ManagementResponsesGoToTheOpenDialog) {
    logon();
    uint32_t rx = dtu->rxBytes;
    send(packet("D1", 0x84, std::string(72, 'r')), dtuAddr);  // no dialog: dropped, not counted
    EXPECT_EQ(dtu->rxBytes, rx);
    f.core->openPort(4, 0, 1, 0);
    _tagDTU* other = f.core->createDtu(4, "D2", "", "", "", true);
    auto ch = std::make_shared<MgmtChannel>(other->listItem->seq);
    f.core->setPropForm(ch);
    send(packet("D1", 0x84, std::string(72, 'r')), dtuAddr);  // for another DTU
    EXPECT_EQ(dtu->rxBytes, rx);
    ch = std::make_shared<MgmtChannel>(dtu->listItem->seq);
    f.core->setPropForm(ch);
    send(packet("D1", 0x84, std::string(72, 'r')), dtuAddr);  // counted although nobody waits
    EXPECT_EQ(dtu->rxBytes, rx + 88);
    EXPECT_EQ(dtu->listItem->cells[ColRx], std::to_string(rx + 88));
    EXPECT_EQ(ch->respLen, 0);
    ch->begin();
    send(packet("D1", 0x99, std::string(1900, 'L')), dtuAddr);  // longer than the buffer
    EXPECT_FALSE(ch->waiting());
    EXPECT_EQ(ch->respLen, 1900);  // the real length: no command takes it for a good answer
    EXPECT_EQ(ch->ioBuf[MGMT_BUF_SIZE - 1], 'L');
    f.core->setPropForm(nullptr);
}

TEST_F(DispatchFixture, ClosingTheDialogWhileAnswersArriveIsSafe) {
    logon();
    std::atomic<bool> done{false};
    std::thread answers([&] {
        std::string p = packet("D1", 0x84, std::string(72, 'a'));
        while (!done) send(p, dtuAddr);
    });
    int taken = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    while (std::chrono::steady_clock::now() < end) {
        auto ch = std::make_shared<MgmtChannel>(dtu->listItem->seq);
        ch->begin();
        f.core->setPropForm(ch);
        std::this_thread::yield();
        f.core->setPropForm(nullptr);
        if (!ch->waiting()) ++taken;
        ch.reset();  // the dialog goes; a delivery in progress keeps its own reference
    }
    done = true;
    answers.join();
    EXPECT_GT(taken, 0);
    EXPECT_GT(dtu->rxBytes, 16u);
}

struct StrangerCase {
    int mode;
    uint8_t type;
};
class StrangerRelayPacket : public DispatchFixture, public ::testing::WithParamInterface<StrangerCase> {};

// A relay packet from anyone but the relay (another host, or the relay's
// host on another port) changes nothing; the same packet from the relay does.
TEST_P(StrangerRelayPacket, IsDroppedWhileTheRelaysOwnFlows) {
    f.core->net().netMode = GetParam().mode;
    const uint8_t type = GetParam().type;
    // As a state it puts D1 on line at 10.0.0.9:4000; as data it carries bytes; as a logon answer it accepts.
    std::string p = packet("D1", type, std::string("\x0a\x00\x00\x09\x0f\xa0", 6) + std::string(8, 'x'));
    if (type == RelayDtuData) {
        send(relayState("D1", "\x0a\x00\x00\x09\x0f\xa0"), relay);  // on line through the relay
        ASSERT_TRUE(dtu->online);
    }
    const uint32_t rx = dtu->rxBytes;
    for (const VDIPAddress& stranger : {VDIPAddress(203, 0, 113, 5, 21012), VDIPAddress(192, 0, 2, 1, 21013)}) {
        send(p, stranger);
        EXPECT_EQ(dtu->rxBytes, rx);
        EXPECT_EQ(port->written(), "");
        EXPECT_FALSE(f.core->relay().logonOk);
        EXPECT_EQ(dtu->online, type == RelayDtuData);
    }
    send(p, relay);
    EXPECT_EQ(f.core->relay().logonOk, type == RelayLogonAnswer);
    EXPECT_EQ(dtu->addr.ToText(), type == RelayDtuState || type == RelayDtuData ? "10.0.0.9:4000" : "0.0.0.0:0");
    EXPECT_EQ(port->written().size(), type == RelayDtuData ? 14u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Relay, StrangerRelayPacket,
                         ::testing::Values(StrangerCase{1, RelayLogonAnswer}, StrangerCase{2, RelayLogonAnswer},
                                           StrangerCase{1, RelayDtuState}, StrangerCase{2, RelayDtuState},
                                           StrangerCase{2, RelayDtuData}));

TEST_F(DispatchFixture, NoRelayEndpointTakesNoRelayPacket) {
    f.core->net().netMode = 2;
    f.core->net().relayAddr = VDIPAddress();
    send(relayState("D1", "\x0a\x00\x00\x09\x0f\xa0"), VDIPAddress());
    EXPECT_FALSE(dtu->online);
}

// Over the stream to the relay every packet is the relay's, whatever sender the socket names.
TEST(DispatchStream, RelayStreamPacketsAreTheRelays) {
    CoreFixture f(sysLine("udpport=\"\" tcpport=\"5000\" mode=\"2\" usr=\"u\" pwd=\"p\"") +
                      portXml(3, 0, 1, dtuXml("S1")) + "</VSPConfig>",
                  /*memoryNet=*/true);
    f.core->FormCreate();
    ASSERT_EQ(f.sockets.size(), 1u);
    ASSERT_TRUE(f.sockets[0]->RelayStream());
    RelayDtuStatePkt st;
    st.devNo = "S1";
    std::memcpy(st.wire, "\x0a\x00\x00\x09\x0f\xa0", 6);
    f.sockets[0]->deliver(VDIPAddress(203, 0, 113, 5, 1), str(encodeRelayDtuState(st)));
    EXPECT_TRUE(findDtu(*f.core, "S1")->online);
}

// Every move of an on-line DTU is one line on stderr; a first logon or a
// logon from where it already is says nothing.
TEST_F(DispatchFixture, MovesOfAnOnLineDtuAreReported) {
    ::testing::internal::CaptureStderr();
    send(packet("D1", DtuLogon), dtuAddr);
    send(packet("D1", DtuLogon), dtuAddr);
    send(packet("D1", DtuLogon), VDIPAddress(10, 0, 0, 10, 4000));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "DTU D1 moved from 10.0.0.9:4000 to 10.0.0.10:4000\n");
    EXPECT_EQ(dtu->addr.ToText(), "10.0.0.10:4000");  // NAT rebinding still works
}

// A time from the wire outside what a FILETIME can show is not stored, and
// the supervision's arithmetic holds for any stored time.
TEST_F(DispatchFixture, WireTimesAreBounded) {
    f.core->net().netMode = 1;
    logon();
    const int64_t kept = dtu->lastLogon;
    for (int64_t ft : {int64_t(-1), INT64_MIN, FILETIME_LAST + 1, INT64_MAX}) {
        send(relayState("D1", NO_WIRE, ft), relay);
        EXPECT_EQ(dtu->lastLogon, kept) << ft;
    }
    send(relayState("D1", NO_WIRE, FILETIME_LAST), relay);
    EXPECT_EQ(dtu->lastLogon, FILETIME_LAST);
    f.core->TimerRuningTimer();  // a last logon in the future never times out
    EXPECT_EQ(dtu->lastLogon, FILETIME_LAST);
}

TEST(FileTime, AfterIsExactAtTheExtremes) {
    const int64_t limit = 120 * FILETIME_PER_SECOND;
    EXPECT_TRUE(fileTimeAfter(INT64_MAX, INT64_MIN, limit));
    EXPECT_FALSE(fileTimeAfter(INT64_MIN, INT64_MAX, limit));
    EXPECT_FALSE(fileTimeAfter(limit, 0, limit));
    EXPECT_TRUE(fileTimeAfter(limit + 1, 0, limit));
    EXPECT_FALSE(fileTimeAfter(0, 0, limit));
}
