// The once-a-second supervision and the relay logon timer, on a clock the
// test moves, with the socket in memory: every tick is checked by what it
// sent, without waiting for anything.
#include <gtest/gtest.h>

#include "link/LinkProtocol.h"
#include "support/BridgeFixture.h"

namespace {
std::string kinds(const std::vector<MemSocket::Sent>& packets) {
    std::string out;
    for (auto& s : packets) {
        if (!out.empty()) out += " ";
        RelayPacket r;
        auto* p = reinterpret_cast<const uint8_t*>(s.bytes.data());
        if (parseRelayPacket(p, s.bytes.size(), r) != Parsed::Complete) {
            out += "?";
            continue;
        }
        out += r.type == RelayLogon ? "L" : r.type == RelayQuery ? "Q:" + std::string(r.devNo) : "?";
    }
    return out;
}

struct SupervisionFixture : CoreFixture {
    explicit SupervisionFixture(int mode, const std::string& dtus)
        : CoreFixture(sysLine("udpport=\"21012\" tcpport=\"\" mode=\"" + std::to_string(mode) +
                              "\" usr=\"user\" pwd=\"pass\"") +
                          portXml(3, 0, 1, dtus) + "</VSPConfig>",
                      /*memoryNet=*/true) {
        core->FormCreate();
        EXPECT_FALSE(core->terminateRequested);
        sock().take();
    }
    MemSocket& sock() { return *sockets.back(); }
    void logon(const std::string& devNo) {
        sock().deliver(VDIPAddress(127, 0, 0, 1, 9), str(encodeLinkPacket(devNo, DtuLogon)));
    }
    void relayState(const std::string& devNo, bool online) {
        RelayDtuStatePkt st;
        st.devNo = devNo;
        if (online) std::memcpy(st.wire, "\x7f\x00\x00\x01\x00\x09", 6);
        sock().deliver(core->net().relayAddr, str(encodeRelayDtuState(st)));
    }
    std::string tick(int n = 1) {
        std::vector<MemSocket::Sent> all;
        for (int i = 0; i < n; ++i) {
            core->TimerRuningTimer();
            EXPECT_TRUE(core->relay().waitPaced(5000));
            for (auto& p : sock().take()) all.push_back(p);
        }
        return kinds(all);
    }
    std::vector<MemSocket::Sent> sent() { return sock().take(); }
    Row* rowOf(const std::string& id) { return row(id); }
};
}  // namespace

TEST(Supervision, DirectModeTimesOutAfter120SecondsAndSendsNothing) {
    SupervisionFixture f(0, dtuXml("A") + "<DTU id=\"F\" ip=\"10.1.1.1:700\" cmt=\"\" devids=\"\" sel=\"1\"/>");
    EXPECT_EQ(f.rowOf("A")->cells[ColLastLogon], "0000-00-00 00:00:00");
    f.logon("A");
    f.logon("F");
    EXPECT_EQ(f.tick(), "");
    Row* a = f.rowOf("A");
    EXPECT_EQ(a->cells[ColOn], ON_MARK);
    EXPECT_EQ(a->cells[ColAddress], "127.0.0.1:9");
    EXPECT_EQ(a->cells[ColLastLogon], fileTimeText(f.clock.now));
    EXPECT_EQ(a->cells[ColRx], "16");
    f.clock.advanceSeconds(119);
    f.tick();
    EXPECT_EQ(a->cells[ColOn], ON_MARK);
    f.clock.advanceSeconds(2);
    EXPECT_EQ(f.tick(), "");
    EXPECT_EQ(a->cells[ColOn], OFF_MARK);
    EXPECT_EQ(a->cells[ColAddress], "0.0.0.0:0");
    EXPECT_FALSE(a->dtu->online);
    EXPECT_EQ(a->dtu->addr.ToText(), "0.0.0.0:0");
    EXPECT_EQ(f.rowOf("F")->cells[ColOn], ON_MARK);  // a fixed address never times out
    f.clock.advanceSeconds(100000);
    EXPECT_EQ(f.tick(30), "");
    EXPECT_EQ(f.rowOf("F")->cells[ColOn], ON_MARK);
}

TEST(Supervision, NeverLoggedOnShowsTheEpoch) {
    SupervisionFixture f(0, "<DTU id=\"F\" ip=\"10.1.1.1:700\" cmt=\"\" devids=\"\" sel=\"1\"/>");
    f.tick();
    EXPECT_EQ(f.rowOf("F")->cells[ColLastLogon], "1601-01-01 00:00:00");
}

TEST(Supervision, FastRelayQueriesOffLineDtuFourTimesPerPeriod) {
    SupervisionFixture f(1, dtuXml("A"));
    f.core->relay().keepAliveTicks = 1000;
    EXPECT_EQ(f.tick(12), "Q:A Q:A Q:A Q:A");  // on the even ticks 2, 4, 6, 8
    f.logon("A");
    f.tick();
    f.clock.advanceSeconds(121);
    EXPECT_EQ(f.tick(12), "Q:A Q:A Q:A Q:A");  // timed out: a new series starts
}

TEST(Supervision, FastRelayKeepAliveIsALogonEvery21Ticks) {
    SupervisionFixture f(1, dtuXml("A") + dtuXml("B"));
    f.core->relay().keepAliveTicks = 20;
    f.logon("A");
    f.logon("B");
    f.tick();  // rows show on line
    f.core->relay().relayTicks = 0;
    std::string sent = f.tick(20);
    EXPECT_EQ(sent, "");
    EXPECT_EQ(f.tick(), "L");
    EXPECT_EQ(f.tick(20), "");
    EXPECT_EQ(f.tick(), "L");
}

TEST(Supervision, RelayModeKeepAliveQueriesEveryOnLineDtu) {
    SupervisionFixture f(2, dtuXml("A") + dtuXml("B") + dtuXml("C"));
    f.core->relay().keepAliveTicks = 4;
    for (auto id : {"A", "B", "C"}) f.relayState(id, true);
    f.tick();
    f.core->relay().relayTicks = 0;
    EXPECT_EQ(f.tick(4), "");
    EXPECT_EQ(f.tick(), "Q:A Q:B Q:C");  // no logon
    f.relayState("B", false);
    f.tick();
    EXPECT_EQ(f.rowOf("B")->cells[ColOn], OFF_MARK);
}

TEST(Supervision, CredentialsAreInEveryRelayPacket) {
    SupervisionFixture f(1, dtuXml("A"));
    f.core->relay().keepAliveTicks = 1000;
    f.core->relay().relayTicks = 1;
    f.core->TimerRuningTimer();
    ASSERT_TRUE(f.core->relay().waitPaced(5000));
    auto packets = f.sent();
    ASSERT_EQ(packets.size(), 1u);
    ASSERT_EQ(packets[0].bytes.size(), 47u);
    EXPECT_EQ(packets[0].to, f.core->net().relayAddr);
    RelayPacket r;
    ASSERT_EQ(parseRelayPacket(reinterpret_cast<const uint8_t*>(packets[0].bytes.data()), 47, r), Parsed::Complete);
    EXPECT_EQ(r.user, "user");
    EXPECT_EQ(r.pwd, "pass");
}

TEST(RelayLogon, RepeatsEveryFourTicksUntilAnswered) {
    SupervisionFixture f(1, dtuXml("A"));
    std::string sent;
    for (int i = 0; i < 12; ++i) {
        f.core->TimerLogonTOTimer();
        sent += std::to_string(i + 1) + ":" + kinds(f.sent()) + " ";
    }
    EXPECT_EQ(sent, "1: 2: 3: 4:L 5: 6: 7: 8:L 9: 10: 11: 12:L ");
    f.core->relay().logonOk = true;
    f.core->relay().serverVersion = 256;
    f.core->TimerLogonTOTimer();
    EXPECT_FALSE(f.core->timerLogonTOEnabled);
    EXPECT_TRUE(f.core->timerRuningEnabled);
    EXPECT_EQ(f.core->statusText, "Connect to server OK!");
}

TEST(RelayLogon, TooNewRelayGetsNothingMore) {
    SupervisionFixture f(2, dtuXml("A"));
    f.core->relay().logonOk = true;
    f.core->relay().serverVersion = 257;
    f.core->TimerLogonTOTimer();
    ASSERT_EQ(f.msgs.shown.size(), 1u);
    EXPECT_EQ(f.msgs.shown[0].caption, "Version incompatible");
    EXPECT_EQ(f.msgs.shown[0].text.rfind("Old version! Please use newer program, download URL:\r\n ", 0), 0u);
    EXPECT_EQ(f.msgs.shown[0].icon, MsgIcon::Warning);
    EXPECT_FALSE(f.core->timerRuningEnabled);
    f.core->sendRelayLogon();
    f.tick(30);
    EXPECT_TRUE(f.sent().empty());
}
