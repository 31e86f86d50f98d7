// The port reader's framing and routing through the in-memory socket and
// port: the serial program's bytes go in, the datagrams that leave are
// read back. Waits are for the packets themselves, with a deadline.
#include <gtest/gtest.h>

#include "link/LinkProtocol.h"
#include "support/BridgeFixture.h"

namespace {
struct SeamFixture : CoreFixture {
    SeamFixture(const std::string& ports, int mode = 0)
        : CoreFixture(sysLine("udpport=\"21012\" tcpport=\"\" mode=\"" + std::to_string(mode) +
                              "\" usr=\"fleet\" pwd=\"secret\"") +
                          ports + "</VSPConfig>",
                      /*memoryNet=*/true) {
        core->FormCreate();
        EXPECT_FALSE(core->terminateRequested);
        sock().take();
    }
    MemSocket& sock() { return *sockets.back(); }
    VDIPAddress logon(const std::string& devNo, uint16_t port) {
        VDIPAddress from(10, 0, 0, 2, port);
        sock().deliver(from, str(encodeLinkPacket(devNo, DtuLogon)));
        return from;
    }
    std::vector<MemSocket::Sent> sent(size_t n) {
        EXPECT_TRUE(sock().waitSent(n)) << "expected " << n << " packets";
        return sock().take();
    }
};

std::string kestrel(uint8_t led, const std::string& body) {
    std::string f = "\x1b$VARDO";
    f += static_cast<char>(led);
    f += '\0';
    f += static_cast<char>(body.size() >> 8);
    f += static_cast<char>(body.size() & 0xFF);
    return f + "xy" + body;
}

// The device number and payload of a datagram with the link header.
std::pair<std::string, std::string> linkPacket(const MemSocket::Sent& s) {
    LinkPacket p;
    EXPECT_EQ(parseLinkPacket(reinterpret_cast<const uint8_t*>(s.bytes.data()), s.bytes.size(), p),
              Parsed::Complete);
    EXPECT_EQ(p.type, DtuData);
    return {std::string(p.devNo), std::string(reinterpret_cast<const char*>(p.body), p.bodyLen)};
}
}  // namespace

TEST(Seam, ControllerFramesGoToTheDtuOfTheirLedNumber) {
    SeamFixture f(portXml(6, 2, 1, dtuXml("L1", "1,3") + dtuXml("L2", "2")));
    const VDIPAddress a1 = f.logon("L1", 4001), a2 = f.logon("L2", 4002);
    auto port = f.port("COM6");
    const std::string toTwo = kestrel(2, "for two"), toOne = kestrel(3, "for one"), all = kestrel(255, "all");
    // Pieces of any size: a frame leaves once it is complete, the next one follows.
    const std::string stream = toTwo + toOne;
    for (size_t i = 0; i < stream.size(); i += 5) port->feed(stream.substr(i, 5));
    auto sent = f.sent(2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].to, a2);
    EXPECT_EQ(linkPacket(sent[0]), std::make_pair(std::string("L2"), toTwo));
    EXPECT_EQ(sent[1].to, a1);
    EXPECT_EQ(linkPacket(sent[1]), std::make_pair(std::string("L1"), toOne));
    port->feed(all);  // LED 255: every selected DTU
    sent = f.sent(2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(linkPacket(sent[0]), std::make_pair(std::string("L1"), all));
    EXPECT_EQ(linkPacket(sent[1]), std::make_pair(std::string("L2"), all));
    port->feed(kestrel(9, "nobody") + toOne);  // LED 9: no DTU serves it; the next frame still goes
    sent = f.sent(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(linkPacket(sent[0]).second, toOne);
    port->feed("garbage" + toOne);  // no marker: what was read with it is dropped
    ASSERT_TRUE(eventually([&] { return port->InQueueCount() == 0; }));  // read, in a pass of its own
    port->feed(toTwo);
    sent = f.sent(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(linkPacket(sent[0]).second, toTwo);
}

TEST(Seam, UnknowPortSendsBurstsAfterSilenceAndCutsLongOnes) {
    SeamFixture f(portXml(7, 0, 0, dtuXml("U1")));
    const VDIPAddress a = f.logon("U1", 4100);
    auto port = f.port("COM7");
    port->feed("request");
    auto sent = f.sent(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, a);
    EXPECT_EQ(sent[0].bytes, "request");  // appproto 0: no header
    std::string big(3000, 'b');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
    port->feed(big);
    std::string got;
    while (got.size() < big.size() && f.sock().waitSent(1)) {
        for (auto& s : f.sock().take()) {
            EXPECT_LE(s.bytes.size(), 1400u);
            got += s.bytes;
        }
    }
    EXPECT_EQ(got, big);
}

TEST(Seam, RelayModeSendsRelayDataToTheRelay) {
    SeamFixture f(portXml(8, 1, 1, dtuXml("R1")), /*mode=*/2);
    RelayDtuStatePkt st;
    st.devNo = "R1";
    std::memcpy(st.wire, "\x0a\x00\x00\x07\x00\x50", 6);
    f.sock().deliver(f.core->net().relayAddr, str(encodeRelayDtuState(st)));
    f.port("COM8")->feed("to relay");
    auto sent = f.sent(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, f.core->net().relayAddr);
    RelayPacket r;
    ASSERT_EQ(parseRelayPacket(reinterpret_cast<const uint8_t*>(sent[0].bytes.data()), sent[0].bytes.size(), r),
              Parsed::Complete);
    EXPECT_EQ(r.type, RelayData);
    EXPECT_EQ(r.user, "fleet");
    EXPECT_EQ(r.pwd, "secret");
    EXPECT_EQ(r.devNo, "R1");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.body), r.bodyLen), "to relay");
}
