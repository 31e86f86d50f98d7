// The receive dispatch, fed packets directly: what each kind of packet does
// to the DTU record and the port in each mode.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "link/LinkProtocol.h"
#include "support/TestSupport.h"

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
    send(relayState("D1", "\x0a\x00\x00\x09\x0f\xa0"), VDIPAddress(1, 1, 1, 1, 1));
    EXPECT_TRUE(dtu->online);
    EXPECT_EQ(dtu->addr.ToText(), "10.0.0.9:4000");
    send(packet("D1", DtuData, "a"), VDIPAddress(5, 5, 5, 5, 5));
    send(packet("D1", RelayDtuData, "b"), VDIPAddress(6, 6, 6, 6, 6));
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
    send(packet("D1", GetParam().type, std::string("\x0a\x00\x00\x09\x0f\xa0", 6) + std::string(8, 'x')),
           VDIPAddress(7, 7, 7, 7, 7));
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
    send(relayState("D1", NO_WIRE), dtuAddr);
    EXPECT_FALSE(dtu->online);
    EXPECT_EQ(dtu->lastLogon, before);  // zero FILETIME: unchanged
    EXPECT_EQ(dtu->addr.ToText(), "0.0.0.0:0");
    const int64_t ft = (int64_t{1} << 32) | 0x10;
    send(relayState("D1", NO_WIRE, ft), dtuAddr);
    EXPECT_EQ(dtu->lastLogon, ft);
    send(relayState("D1", NO_WIRE).substr(0, 29), dtuAddr);  // 29 bytes: ignored
    EXPECT_EQ(dtu->lastLogon, (int64_t{1} << 32) | 0x10);
}

TEST_F(DispatchFixture, RelayLogonAnswer) {
    auto answer = [&](uint16_t version, uint16_t keep) {
        send(str(encodeRelayLogonAnswer({version, keep})), dtuAddr);
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
