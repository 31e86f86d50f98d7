// The once-a-second supervision and the relay logon timer, on a clock the
// test moves, with a UDP socket on loopback standing in for the relay.
#include <gtest/gtest.h>

#include <cstring>

#include "link/LinkProtocol.h"
#include "support/BridgeFixture.h"

namespace {
// Receives what the manager sends to "the relay".
struct RelayCapture {
    RelayCapture() : fd(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {
        sockaddr_in sa = VDIPAddress(127, 0, 0, 1, 0).ToSockaddr();
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        addr = VDIPAddress::FromSockaddr(sa);
    }
    ~RelayCapture() { close(fd); }
    // Every packet waiting now, after a short grace for loopback delivery.
    std::vector<std::string> take() {
        std::vector<std::string> out;
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 20) > 0) {
            char buf[2048];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0) break;
            out.emplace_back(buf, static_cast<size_t>(n));
        }
        return out;
    }
    int fd;
    VDIPAddress addr;
};

std::string kinds(const std::vector<std::string>& packets) {
    std::string out;
    for (auto& p : packets) {
        if (!out.empty()) out += " ";
        uint8_t t = static_cast<uint8_t>(p[15]);
        out += t == RelayLogon ? "L" : t == RelayQuery ? "Q:" + std::string(p.c_str() + 32) : "?";
    }
    return out;
}

struct SupervisionFixture : BridgeFixture {
    explicit SupervisionFixture(int mode, const std::string& dtus)
        : BridgeFixture(portXml(3, 0, 1, dtus), mode, "user", "pass") {
        core->relayAddr = relay.addr;  // the relay lives elsewhere; here a capture socket
        relay.take();
    }
    void logon(const std::string& devNo) {
        std::string p(16, '\0');
        std::memcpy(p.data(), devNo.data(), devNo.size());
        core->dispatchPacket(VDIPAddress(127, 0, 0, 1, 9), reinterpret_cast<const uint8_t*>(p.data()), 16);
    }
    void relayState(const std::string& devNo, bool online) {
        std::string p(30, '\0');
        std::memcpy(p.data(), devNo.data(), devNo.size());
        p[15] = static_cast<char>(RelayDtuState);
        if (online) p.replace(16, 6, std::string("\x7f\x00\x00\x01\x00\x09", 6));
        core->dispatchPacket(relay.addr, reinterpret_cast<const uint8_t*>(p.data()), 30);
    }
    std::string tick(int n = 1) {
        std::vector<std::string> all;
        for (int i = 0; i < n; ++i) {
            core->TimerRuningTimer();
            for (auto& p : relay.take()) all.push_back(p);
        }
        return kinds(all);
    }
    Row* rowOf(const std::string& id) {
        Row* found = nullptr;
        core->withRows([&](const auto& rows, const auto&) {
            for (auto& r : rows)
                if (r->caption == id) found = r.get();
        });
        return found;
    }
    RelayCapture relay;
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
    f.core->keepAliveTicks = 1000;
    EXPECT_EQ(f.tick(12), "Q:A Q:A Q:A Q:A");  // on the even ticks 2, 4, 6, 8
    f.logon("A");
    f.tick();
    f.clock.advanceSeconds(121);
    EXPECT_EQ(f.tick(12), "Q:A Q:A Q:A Q:A");  // timed out: a new series starts
}

TEST(Supervision, FastRelayKeepAliveIsALogonEvery21Ticks) {
    SupervisionFixture f(1, dtuXml("A") + dtuXml("B"));
    f.core->keepAliveTicks = 20;
    f.logon("A");
    f.logon("B");
    f.tick();  // rows show on line
    f.core->relayTicks = 0;
    std::string sent = f.tick(20);
    EXPECT_EQ(sent, "");
    EXPECT_EQ(f.tick(), "L");
    EXPECT_EQ(f.tick(20), "");
    EXPECT_EQ(f.tick(), "L");
}

TEST(Supervision, RelayModeKeepAliveQueriesEveryOnLineDtu) {
    SupervisionFixture f(2, dtuXml("A") + dtuXml("B") + dtuXml("C"));
    f.core->keepAliveTicks = 4;
    for (auto id : {"A", "B", "C"}) f.relayState(id, true);
    f.tick();
    f.core->relayTicks = 0;
    EXPECT_EQ(f.tick(4), "");
    EXPECT_EQ(f.tick(), "Q:A Q:B Q:C");  // no logon
    f.relayState("B", false);
    f.tick();
    EXPECT_EQ(f.rowOf("B")->cells[ColOn], OFF_MARK);
}

TEST(Supervision, CredentialsAreInEveryRelayPacket) {
    SupervisionFixture f(1, dtuXml("A"));
    f.core->keepAliveTicks = 1000;
    f.core->relayTicks = 1;
    f.core->TimerRuningTimer();
    auto packets = f.relay.take();
    ASSERT_EQ(packets.size(), 1u);
    ASSERT_EQ(packets[0].size(), 47u);
    const auto* b = reinterpret_cast<const uint8_t*>(packets[0].data());
    EXPECT_EQ(unmaskField(b, 15), "user");
    EXPECT_EQ(unmaskField(b + 16, 16), "pass");
}

TEST(RelayLogon, RepeatsEveryFourTicksUntilAnswered) {
    SupervisionFixture f(1, dtuXml("A"));
    std::string sent;
    for (int i = 0; i < 12; ++i) {
        f.core->TimerLogonTOTimer();
        sent += std::to_string(i + 1) + ":" + kinds(f.relay.take()) + " ";
    }
    EXPECT_EQ(sent, "1: 2: 3: 4:L 5: 6: 7: 8:L 9: 10: 11: 12:L ");
    f.core->logonOk = true;
    f.core->serverVersion = 256;
    f.core->TimerLogonTOTimer();
    EXPECT_FALSE(f.core->timerLogonTOEnabled);
    EXPECT_TRUE(f.core->timerRuningEnabled);
    EXPECT_EQ(f.core->statusText, "Connect to server OK!");
}

TEST(RelayLogon, TooNewRelayGetsNothingMore) {
    SupervisionFixture f(2, dtuXml("A"));
    f.core->logonOk = true;
    f.core->serverVersion = 257;
    f.core->TimerLogonTOTimer();
    ASSERT_EQ(f.msgs.shown.size(), 1u);
    EXPECT_EQ(f.msgs.shown[0].caption, "Version incompatible");
    EXPECT_EQ(f.msgs.shown[0].text.rfind("Old version! Please use newer program, download URL:\r\n ", 0), 0u);
    EXPECT_EQ(f.msgs.shown[0].icon, MsgIcon::Warning);
    EXPECT_FALSE(f.core->timerRuningEnabled);
    f.core->sendRelayLogon();
    f.tick(30);
    EXPECT_TRUE(f.relay.take().empty());
}
