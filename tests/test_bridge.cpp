// End to end: serial program <-> pseudo-terminal <-> manager core <-> UDP on
// loopback <-> simulated DTUs.
#include <gtest/gtest.h>

#include <future>

#include "link/LinkProtocol.h"
#include "support/BridgeFixture.h"
#include "support/Frames.h"
#include "vsp/Framing.h"

TEST(Framing, FrameLengthPerProtocol) {
    const std::string k = kestrel(5, "ab");  // 13-byte header, L = 2
    auto len = [](int proto, const std::string& s) {
        return frameLength(static_cast<uint32_t>(proto), reinterpret_cast<const uint8_t*>(s.data()), static_cast<int>(s.size()));
    };
    EXPECT_EQ(len(2, k), 15);
    EXPECT_EQ(len(2, k.substr(0, 14)), 0);  // needs its data
    EXPECT_EQ(len(2, k.substr(0, 12)), 0);  // cannot judge yet
    EXPECT_EQ(len(2, "X" + k.substr(1)), -1);
    EXPECT_EQ(len(3, osprey(1, "abcd")), 20);
    EXPECT_EQ(len(3, osprey(1, "abcd", true)), 20);
    std::string h = harrier(1, "");
    EXPECT_EQ(h.size(), 18u);
    EXPECT_EQ(len(4, h.substr(0, 15)), 0);
    EXPECT_EQ(len(4, h.substr(0, 16)), 0);  // judged: 18 bytes needed
    EXPECT_EQ(len(4, h), 18);
    EXPECT_EQ(len(4, kestrel(1, "abc")), -1);
}

TEST(Framing, BurstGapAtLineSpeed) {
    struct Case {
        bool atLineSpeed;
        int baud, us;
    } cases[] = {
        {false, 115200, 50000}, {true, 0, 50000},      // off, or a speed we cannot read: 50 ms
        {true, 9600, 3646},     {true, 19200, 2000},   // 3.5 characters of 10 bits, at least 2 ms
        {true, 115200, 2000},   {true, 4000000, 2000}, {true, 300, 50000},  // never longer than 50 ms
        {true, 1200, 29167},
    };
    for (const Case& c : cases) EXPECT_EQ(burstGapUs(c.atLineSpeed, c.baud), c.us) << c.atLineSpeed << " " << c.baud;
}

TEST(Bridge, LogonAndDataFromDtuReachTheSerialProgram) {
    BridgeFixture f(portXml(5, 0, 1, dtuXml("D1") + dtuXml("D2", "", false)));
    auto prog = f.program(5);
    DtuSim& d1 = f.sim("D1");
    DtuSim& d2 = f.sim("D2");
    d1.sendData(reinterpret_cast<const uint8_t*>("early"), 5);  // not on line yet: counted, dropped
    ASSERT_TRUE(eventually([&] { return f.dtu("D1")->rxBytes == 21; }));
    ASSERT_TRUE(f.online(d1, "D1"));
    _tagDTU* dtu = f.dtu("D1");
    EXPECT_EQ(dtu->rxBytes, 37u);
    EXPECT_EQ(dtu->lastLogon, f.clock.now.load());
    {
        RegGuard g(f.core->registry().mutex());
        EXPECT_EQ(dtu->addr.ToText(), "127.0.0.1:" + std::to_string(d1.localPort()));
    }
    d1.sendData(reinterpret_cast<const uint8_t*>("hello"), 5);
    EXPECT_EQ(prog->read(5), "hello");
    ASSERT_TRUE(f.online(d2, "D2"));  // unselected DTUs log on too
    d2.sendData(reinterpret_cast<const uint8_t*>("no"), 2);
    EXPECT_TRUE(eventually([&] { return f.dtu("D2")->rxBytes == 34; }));
    EXPECT_EQ(prog->read(1, 100), "");
    f.core->TimerRuningTimer();
    f.core->withRows([](const auto& rows, const auto&) {
        EXPECT_EQ(rows[0]->cells[ColOn], ON_MARK);
        EXPECT_EQ(rows[0]->cells[ColRx], "58");  // 21 early + 16 logon + 21 data
    });
}

TEST(Bridge, DataFromAnotherEndpointIsCountedAndDropped) {
    BridgeFixture f(portXml(6, 0, 1, dtuXml("D1")));
    auto prog = f.program(6);
    DtuSim& d1 = f.sim("D1");
    ASSERT_TRUE(f.online(d1, "D1"));
    DtuSimOptions o;
    o.devNo = "D1";
    o.peer = f.managerAddr();
    DtuSim impostor(o);  // same address, another port
    ASSERT_TRUE(impostor.start());
    impostor.sendData(reinterpret_cast<const uint8_t*>("evil"), 4);
    EXPECT_TRUE(eventually([&] { return f.dtu("D1")->rxBytes == 36; }));
    d1.sendData(reinterpret_cast<const uint8_t*>("good"), 4);
    EXPECT_EQ(prog->read(8, 500), "good");
}

struct ProtoCase {
    int proto;
};
class ControllerRouting : public ::testing::TestWithParam<int> {};

TEST_P(ControllerRouting, FramesGoByLedNumber) {
    const int proto = GetParam();
    BridgeFixture f(portXml(7, proto, 1, dtuXml("D1", "1,2") + dtuXml("D2", "3") + dtuXml("D3", "1")));
    auto prog = f.program(7);
    DtuSim& d1 = f.sim("D1");
    DtuSim& d2 = f.sim("D2");
    DtuSim& d3 = f.sim("D3");
    for (auto [s, id] : {std::pair{&d1, "D1"}, {&d2, "D2"}, {&d3, "D3"}}) ASSERT_TRUE(f.online(*s, id));
    const std::string a = frame(proto, 3, "to-three"), b = frame(proto, 1, "to-one");
    prog->write(a + b);  // two frames in one write
    ASSERT_TRUE(d2.waitData(a.size(), 3000));
    ASSERT_TRUE(d1.waitData(b.size(), 3000));
    EXPECT_EQ(str(d2.data()), a);
    EXPECT_EQ(str(d1.data()), b);
    const std::string all = frame(proto, 255, "everyone");
    prog->write(all);
    for (DtuSim* s : {&d1, &d2, &d3}) ASSERT_TRUE(s->waitData(all.size(), 3000));
    EXPECT_EQ(str(d3.data()), all);  // D3 serves LED 1 too, but D1 comes first in the list
    // The count follows the send, which the DTU may see first.
    EXPECT_TRUE(eventually([&] { return f.dtu("D2")->txBytes == a.size() + all.size() + 32; }));  // headers count
    prog->write(frame(proto, 9, "nobody"));  // no DTU serves LED 9: dropped silently
    prog->write("garbage-without-marker");
    const std::string last = frame(proto, 2, "last");
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    prog->write(last);
    ASSERT_TRUE(d1.waitData(b.size() + all.size() + last.size(), 3000));
    EXPECT_EQ(str(d1.data()), b + all + last);
}

INSTANTIATE_TEST_SUITE_P(Protocols, ControllerRouting, ::testing::Values(2, 3, 4));

TEST(Bridge, ManyFramesInOneWriteLeaveOneDatagramEachInOrder) {
    BridgeFixture f(portXml(8, 2, 1, dtuXml("D1", "1") + dtuXml("D2", "2")));
    auto prog = f.program(8);
    DtuSim& d1 = f.sim("D1");
    DtuSim& d2 = f.sim("D2");
    ASSERT_TRUE(f.online(d1, "D1"));
    ASSERT_TRUE(f.online(d2, "D2"));
    // 300 frames in one write: far more than one read takes, let alone one datagram.
    std::string all, to1, to2;
    for (int i = 0; i < 300; ++i) {
        const std::string fr = kestrel(static_cast<uint8_t>(1 + i % 2), "frame " + std::to_string(i) + std::string(static_cast<size_t>(i % 50), '.'));
        all += fr;
        (i % 2 ? to2 : to1) += fr;
    }
    prog->write(all);
    ASSERT_TRUE(d1.waitData(to1.size(), 5000));
    ASSERT_TRUE(d2.waitData(to2.size(), 5000));
    EXPECT_EQ(str(d1.data()), to1);
    EXPECT_EQ(str(d2.data()), to2);
    EXPECT_EQ(d1.packetsReceived(), 150u);
    EXPECT_EQ(d2.packetsReceived(), 150u);
    EXPECT_TRUE(eventually([&] { return f.dtu("D1")->txBytes == to1.size() + 150 * 16; }));
}

TEST(Bridge, FloodFromDtuReachesTheProgramWholeAndInOrder) {
    BridgeFixture f(portXml(9, 0, 1, dtuXml("D1")));
    auto prog = f.program(9);
    DtuSim& d1 = f.sim("D1");
    ASSERT_TRUE(f.online(d1, "D1"));
    // Sent without pause, so that receive calls take many datagrams at once.
    std::string sent;
    for (int i = 0; i < 2000; ++i) {
        std::string d = "<" + std::to_string(i) + ">" + std::string(static_cast<size_t>(i % 90), static_cast<char>('a' + i % 26));
        d1.sendData(reinterpret_cast<const uint8_t*>(d.data()), d.size());
        sent += d;
    }
    EXPECT_EQ(prog->read(sent.size(), 10000), sent);
}

TEST(Bridge, UnknowGoesToFirstSelectedNoAckToAll) {
    BridgeFixture f(portXml(8, 0, 1, dtuXml("U1") + dtuXml("U2", "", false)) +
                    portXml(9, 1, 1, dtuXml("N1") + dtuXml("N2")));
    auto p8 = f.program(8);
    auto p9 = f.program(9);
    DtuSim& u1 = f.sim("U1");
    DtuSim& u2 = f.sim("U2");
    DtuSim& n1 = f.sim("N1");
    DtuSim& n2 = f.sim("N2");
    for (auto [s, id] : {std::pair{&u1, "U1"}, {&u2, "U2"}, {&n1, "N1"}, {&n2, "N2"}}) ASSERT_TRUE(f.online(*s, id));
    p8->write("unknow-burst");
    p9->write("noack-burst");
    ASSERT_TRUE(u1.waitData(12, 3000));
    ASSERT_TRUE(n1.waitData(11, 3000));
    ASSERT_TRUE(n2.waitData(11, 3000));
    EXPECT_EQ(str(u1.data()), "unknow-burst");
    EXPECT_EQ(u2.packetsReceived(), 0u);
    EXPECT_EQ(str(n2.data()), "noack-burst");
    EXPECT_TRUE(eventually([&] { return f.dtu("N1")->txBytes == 16u + 11u; }));
}

TEST(Bridge, BareFramingWithoutHeader) {
    BridgeFixture f(portXml(10, 0, 0, dtuXml("B1")));
    auto prog = f.program(10);
    DtuSim& b1 = f.sim("B1", /*bare=*/true);
    ASSERT_TRUE(f.online(b1, "B1"));
    prog->write("raw bytes");
    ASSERT_TRUE(b1.waitData(9, 3000));
    EXPECT_EQ(str(b1.data()), "raw bytes");
    EXPECT_TRUE(eventually([&] { return f.dtu("B1")->txBytes == 9u; }));
}

TEST(Bridge, LongBurstLeavesInPiecesAndInOrder) {
    BridgeFixture f(portXml(11, 0, 1, dtuXml("L1")));
    auto prog = f.program(11);
    std::vector<size_t> sizes;
    std::mutex m;
    DtuSim& l1 = f.sim("L1");
    l1.onData = [&](const uint8_t*, size_t n) {
        std::lock_guard<std::mutex> lk(m);
        sizes.push_back(n);
    };
    ASSERT_TRUE(f.online(l1, "L1"));
    std::string burst;
    for (int i = 0; i < 3000; ++i) burst += static_cast<char>(i * 7 + i / 256);
    prog->write(burst);
    ASSERT_TRUE(l1.waitData(3000, 5000));
    EXPECT_EQ(str(l1.data()), burst);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lk(m);
        size_t sum = 0;
        for (size_t n : sizes) sum += n;
        return sum == 3000;
    }));
    std::lock_guard<std::mutex> lk(m);
    ASSERT_GE(sizes.size(), 3u);
    for (size_t i = 0; i + 1 < sizes.size(); ++i) {
        EXPECT_GT(sizes[i] + 16, 1200u) << i;  // each full piece is above 1200 bytes with its header
        EXPECT_LE(sizes[i] + 16, 1400u) << i;
    }
}

TEST(Bridge, OverlongFrameIsDroppedAtOnce) {
    BridgeFixture f(portXml(12, 2, 1, dtuXml("K1", "4")));
    auto prog = f.program(12);
    DtuSim& k1 = f.sim("K1");
    ASSERT_TRUE(f.online(k1, "K1"));
    std::string huge = kestrel(4, "");
    huge[9] = 0x07;  // announces 1800 bytes: can never fit the buffer
    huge[10] = 0x08;
    prog->write(huge + std::string(1900, 'x'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string good = kestrel(4, "fits");
    prog->write(good);
    ASSERT_TRUE(k1.waitData(good.size(), 3000));
    EXPECT_EQ(str(k1.data()), good);
}

TEST(Bridge, PortWithoutTransportDropsDataAndStopsPromptly) {
    BridgeFixture f(portXml(13, 0, 1, dtuXml("X1"), /*net=*/1));
    auto prog = f.program(13);
    DtuSim& x1 = f.sim("X1");
    ASSERT_TRUE(f.online(x1, "X1"));
    prog->write(std::string(5000, 'n'));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(x1.packetsReceived(), 0u);
    EXPECT_EQ(f.dtu("X1")->txBytes, 0u);
    auto t0 = std::chrono::steady_clock::now();
    f.core->closePort(13);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
}

TEST(Bridge, ManagementRequestsReachTheDtuAndAnswersTheChannel) {
    BridgeFixture f(portXml(14, 0, 1, dtuXml("M1")));
    DtuSimOptions o;
    DtuSim& m1 = f.sim("M1");
    ASSERT_TRUE(f.online(m1, "M1"));
    _tagDTU* dtu = f.dtu("M1");
    auto ch = std::make_shared<MgmtChannel>(dtu->listItem->seq);
    f.core->setPropForm(ch);
    std::vector<uint8_t> req = encodeLinkPacket("M1", DtuGetState);
    uint32_t rxBefore = dtu->rxBytes;
    ch->begin();
    EXPECT_EQ(f.core->sendToDtu(dtu->listItem->seq, req.data(), 16), 16);
    ASSERT_TRUE(eventually([&] { return !ch->waiting(); }));
    EXPECT_EQ(ch->respLen, 72);
    EXPECT_EQ(ch->ioBuf[71], 20);
    EXPECT_EQ(dtu->rxBytes, rxBefore + 88);
    EXPECT_EQ(dtu->txBytes, 16u);
    req = encodeLinkPacket("M1", DtuRestart);
    f.core->sendToDtu(dtu->listItem->seq, req.data(), 16);
    EXPECT_TRUE(eventually([&] { return m1.restarts() == 1; }));
    f.core->setPropForm(nullptr);
}

TEST(Bridge, ModeChangeReachesTheReadersHeaderBeforeTheNextBurst) {
    // Started in Relay mode: serial data leaves as RelayData to the relay.
    BridgeFixture f(portXml(15, 0, 1, dtuXml("H1")), /*mode=*/2, "u", "p");
    int relayFd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    sockaddr_in sa = VDIPAddress(127, 0, 0, 1, 0).ToSockaddr();
    bind(relayFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    f.core->net().relayAddr = VDIPAddress(127, 0, 0, 1, boundPort(relayFd));
    RelayDtuStatePkt st;
    st.devNo = "H1";
    std::memcpy(st.wire, "\x7f\x00\x00\x01\x00\x09", 6);
    std::vector<uint8_t> state = encodeRelayDtuState(st);
    f.core->dispatchPacket(f.core->net().relayAddr, state.data(), static_cast<uint32_t>(state.size()));
    auto prog = f.program(15);
    prog->write("via-relay");
    std::string got;
    ASSERT_TRUE(eventually([&] {
        char buf[2048];
        ssize_t n = recv(relayFd, buf, sizeof buf, 0);
        if (n > 0) got.assign(buf, static_cast<size_t>(n));
        return !got.empty();
    }));
    close(relayFd);
    RelayPacket r;
    ASSERT_EQ(parseRelayPacket(reinterpret_cast<const uint8_t*>(got.data()), got.size(), r), Parsed::Complete);
    EXPECT_EQ(r.type, RelayData);
    EXPECT_EQ(r.devNo, "H1");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.body), r.bodyLen), "via-relay");

    // Now Direct: the DTU logs on itself and gets DtuData with the 16-byte header.
    f.core->applySettings({std::to_string(f.udpPort), 0, "", ""});
    DtuSim& h1 = f.sim("H1");
    ASSERT_TRUE(f.online(h1, "H1"));
    prog->write("direct-now");
    ASSERT_TRUE(h1.waitData(10, 3000));
    EXPECT_EQ(str(h1.data()), "direct-now");
}

TEST(Bridge, FailingSendsEndWhenThePortCloses) {
    BridgeFixture f(portXml(14, 1, 1, dtuXml("G1") + dtuXml("B1")));
    auto prog = f.program(14);
    DtuSim& good = f.sim("G1");
    ASSERT_TRUE(f.online(good, "G1"));
    // On line at 0.0.0.0:0: every send to it fails, so the reader retries.
    const std::vector<uint8_t> logon = encodeLinkPacket("B1", DtuLogon);
    f.core->dispatchPacket(VDIPAddress(), logon.data(), 16);
    ASSERT_TRUE(f.dtu("B1")->online);
    prog->write("burst");
    // The first DTU in list order has it: the reader is now on the second.
    ASSERT_TRUE(good.waitData(5, 3000));
    auto closing = std::async(std::launch::async, [&] { f.core->closePort(14); });
    ASSERT_EQ(closing.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(f.core->portOpen(14));
    EXPECT_EQ(f.dtu("B1")->txBytes, 0u);  // nothing counted for the failed sends
}
