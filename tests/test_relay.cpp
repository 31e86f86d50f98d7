// The relay modes end to end, with vsp-relaysim's and vsp-dtusim's code:
// Relay over TCP on loopback in-process, and Fast Relay and Relay over UDP
// with the real manager program on a test host of its own.
#include <gtest/gtest.h>

#include "link/LinkProtocol.h"
#include "net/VDTCPCSocket.h"
#include "support/BridgeFixture.h"
#include "support/ManagerProcess.h"
#include "support/TestNet.h"
#include "tools/RelaySim.h"

namespace {

// A manager core in Relay mode over TCP, with no UDP port, and a relay on loopback.
struct TcpRelayFixture {
    explicit TcpRelayFixture(uint16_t version = 1, uint16_t keepAlive = 13, const std::string& managerPwd = "secret")
        : port(freePort(SOCK_STREAM)) {
        RelaySimOptions ro;
        ro.port = port;
        ro.bindIp = "127.0.0.1";
        ro.user = "alice";
        ro.password = "secret";
        ro.version = version;
        ro.keepAlive = keepAlive;
        relay = std::make_unique<RelaySim>(ro);
        EXPECT_TRUE(relay->start());
        dir.write("Config.xml", sysLine("udpport=\"\" tcpport=\"" + std::to_string(port) +
                                        "\" mode=\"2\" usr=\"alice\" pwd=\"" + managerPwd + "\"") +
                                    portXml(5, 0, 1, dtuXml("R1")) + "</VSPConfig>");
        core = startedManager(dir, msgs, clock);
    }
    ~TcpRelayFixture() {
        core->FormDestroy();
        dtu.reset();
        relay.reset();
    }
    // Drives the logon timer as the window would, until the relay has answered.
    bool logOn() {
        return eventually([&] {
            core->TimerLogonTOTimer();
            return core->timerRuningEnabled;
        }, 8000);
    }
    DtuSim& startDtu() {
        DtuSimOptions o;
        o.devNo = "R1";
        o.peer = VDIPAddress(127, 0, 0, 1, port);
        dtu = std::make_unique<DtuSim>(o);
        dtu->start();
        dtu->logon();
        return *dtu;
    }
    _tagDTU* record() {
        return findDtu(*core, "R1");
    }
    uint16_t port;
    TempDir dir;
    FakeMessages msgs;
    FakeClock clock;
    std::unique_ptr<RelaySim> relay;
    std::unique_ptr<DtuSim> dtu;
    std::unique_ptr<Manager> core;
};
}  // namespace

TEST(RelayTcp, DataFlowsThroughTheRelayAndResumesAfterARestart) {
    TcpRelayFixture f;
    ASSERT_TRUE(f.logOn());
    EXPECT_EQ(f.core->statusText, "Connect to server OK!");
    EXPECT_EQ(f.core->relay().keepAliveTicks, 1);
    DtuSim& dtu = f.startDtu();
    ASSERT_TRUE(eventually([&] { return f.record()->online.load(); }));  // the relay reported it
    SerialProgram prog(f.dir.file("ports/COM5"));
    ASSERT_TRUE(eventually([&] { return f.core->portInUse(5); }));
    prog.write("to-dtu");
    ASSERT_TRUE(dtu.waitData(6, 3000));
    EXPECT_EQ(str(dtu.data()), "to-dtu");
    EXPECT_TRUE(eventually([&] { return f.record()->txBytes == 32u + 6u; }));  // 47 + n bytes count as 32 + n
    dtu.sendData(reinterpret_cast<const uint8_t*>("from-dtu"), 8);
    EXPECT_EQ(prog.read(8), "from-dtu");

    f.relay->stop();  // the relay goes away and comes back
    ASSERT_TRUE(f.relay->start());
    ASSERT_TRUE(eventually([&] {
        f.core->TimerRuningTimer();  // keep-alive queries tell the relay where we are
        return f.relay->managerOverTcp() && f.relay->counts().queries > 0;
    }, 8000));
    prog.write("again");
    ASSERT_TRUE(dtu.waitData(11, 3000));
    EXPECT_EQ(str(dtu.data()), "to-dtuagain");
    dtu.sendData(reinterpret_cast<const uint8_t*>("back"), 4);
    EXPECT_EQ(prog.read(4), "back");
}

TEST(RelayTcp, TooNewRelayIsRefused) {
    TcpRelayFixture f(257);
    ASSERT_TRUE(eventually([&] {
        f.core->TimerLogonTOTimer();
        return !f.core->timerLogonTOEnabled;
    }, 8000));
    EXPECT_EQ(f.msgs.texts().size(), 1u);
    EXPECT_EQ(f.msgs.shown[0].caption, "Version incompatible");
    EXPECT_FALSE(f.core->timerRuningEnabled);
    int before = f.relay->counts().logons + f.relay->counts().queries;
    for (int i = 0; i < 10; ++i) f.core->TimerRuningTimer();
    f.core->sendRelayLogon();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(f.relay->counts().logons + f.relay->counts().queries, before);
    // Nor does serial data: the relay still reports the DTU, the port keeps its data.
    f.startDtu();
    ASSERT_TRUE(eventually([&] { return f.record()->online.load(); }));
    SerialProgram prog(f.dir.file("ports/COM5"));
    ASSERT_TRUE(eventually([&] { return f.core->portInUse(5); }));
    prog.write("not-for-you");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(f.relay->counts().data, 0);
    EXPECT_EQ(f.record()->txBytes, 0u);
}

TEST(RelayTcp, KeepAliveZeroLeavesTheLogonUnacknowledged) {
    TcpRelayFixture f(1, 0);
    ASSERT_TRUE(eventually([&] {
        f.core->TimerLogonTOTimer();
        return f.relay->counts().logons >= 2;  // repeated: the answer did not count
    }, 12000));
    EXPECT_FALSE(f.core->relay().logonOk);
    EXPECT_EQ(f.core->relay().serverVersion, 1);
    EXPECT_EQ(f.core->statusText, "Connecting to server ...");
}

TEST(RelayTcp, WrongPasswordIsRejectedByTheRelay) {
    TcpRelayFixture f(1, 13, "wrong");
    EXPECT_TRUE(eventually([&] {
        f.core->TimerLogonTOTimer();  // repeats the logon once the connection stands
        return f.relay->counts().rejected > 0;
    }));
    EXPECT_FALSE(f.core->relay().logonOk);
}

namespace {
// The real manager in one namespace, relay and DTU in the other.
struct HostsFixture {
    explicit HostsFixture(int mode) {
        if (!net.ok) return;
        dir.write("Config.xml", sysLine("udpport=\"21012\" tcpport=\"\" mode=\"" + std::to_string(mode) +
                                        "\" usr=\"bob\" pwd=\"pw\"") +
                                    portXml(5, 0, 1, dtuXml("H1")) + "</VSPConfig>");
        net.inside(net.relay, [&] {
            RelaySimOptions ro;
            ro.user = "bob";
            ro.password = "pw";
            ro.keepAlive = 13;  // a keep-alive every other second
            relay = std::make_unique<RelaySim>(ro);
            relayUp = relay->start();
            DtuSimOptions o;
            o.devNo = "H1";
            o.peer = VDIPAddress(127, 0, 0, 1, 21012);
            dtu = std::make_unique<DtuSim>(o);
            dtu->start();
            dtu->logon();
        });
        manager = std::make_unique<ManagerProcess>(dir);
        manager->start(net.manager);
    }
    ~HostsFixture() {
        manager.reset();
        dtu.reset();
        relay.reset();
    }
    TestNet net;
    TempDir dir;
    std::unique_ptr<RelaySim> relay;
    std::unique_ptr<DtuSim> dtu;
    std::unique_ptr<ManagerProcess> manager;
    bool relayUp = false;
};
}  // namespace

TEST(RelayHosts, FastRelayConnectsTheDtuDirectly) {
    HostsFixture f(1);
    if (!f.net.ok) GTEST_SKIP() << "no test hosts: " << f.net.why;
    ASSERT_TRUE(f.relayUp);
    // The manager found the relay by its name, from its own host, and logged
    // on at start-up (the logon timer's first repetition comes after 4 s).
    ASSERT_TRUE(eventually([&] { return f.relay->counts().logons > 0; }, 3000)) << f.manager->log();
    EXPECT_EQ(f.relay->lastManager().ToText(), f.net.managerIp + ":21012");
    ASSERT_TRUE(eventually([&] { return f.relay->counts().connects > 0; }, 8000));
    ASSERT_TRUE(eventually([&] { return f.dtu->target().ToText() == f.net.managerIp + ":21012"; }));
    SerialProgram prog(f.dir.file("ports/COM5"));
    int dataBefore = f.relay->counts().data;
    // The DTU's logon reaches the manager directly; the row goes on line within a tick.
    ASSERT_TRUE(eventually([&] {
        prog.write("x");
        return f.dtu->waitData(1, 200);
    }, 8000));
    prog.write("direct");
    ASSERT_TRUE(eventually([&] { return str(f.dtu->data()).find("direct") != std::string::npos; }));
    f.dtu->sendData(reinterpret_cast<const uint8_t*>("reply"), 5);
    EXPECT_NE(prog.read(5).find("reply"), std::string::npos);
    EXPECT_EQ(f.relay->counts().data, dataBefore);  // none of it went through the relay
    EXPECT_EQ(f.manager->terminate(), 0);
    EXPECT_FALSE(std::filesystem::exists(f.dir.file("ports/COM5")));
}

TEST(RelayHosts, RelayOverUdpCarriesDataAndSurvivesARelayRestart) {
    HostsFixture f(2);
    if (!f.net.ok) GTEST_SKIP() << "no test hosts: " << f.net.why;
    ASSERT_TRUE(f.relayUp);
    ASSERT_TRUE(eventually([&] { return std::filesystem::exists(f.dir.file("ports/COM5")); }));
    SerialProgram prog(f.dir.file("ports/COM5"));
    ASSERT_TRUE(eventually([&] {
        prog.write("r");
        return f.dtu->waitData(1, 200);
    }, 10000)) << f.manager->log();
    EXPECT_GT(f.relay->counts().data, 0);
    f.dtu->sendData(reinterpret_cast<const uint8_t*>("up"), 2);
    EXPECT_NE(prog.read(2).find("up"), std::string::npos);

    f.net.inside(f.net.relay, [&] {
        f.relay->stop();
        f.relayUp = f.relay->start();
    });
    ASSERT_TRUE(f.relayUp);
    size_t had = f.dtu->data().size();
    ASSERT_TRUE(eventually([&] {
        prog.write("s");
        return f.dtu->waitData(had + 1, 200);
    }, 10000));
    f.dtu->sendData(reinterpret_cast<const uint8_t*>("again"), 5);
    EXPECT_NE(prog.read(5).find("again"), std::string::npos);
    EXPECT_EQ(f.manager->terminate(), 0);
}

// Relay over TCP between two test hosts: when the path is cut, the manager
// finds the silent connection dead by itself, and makes a new one once the
// relay can be reached again.
TEST(RelayHosts, TcpLinkIsMadeAnewAfterACut) {
    TestNet net;
    if (!net.ok) GTEST_SKIP() << "no test hosts: " << net.why;
    const uint16_t port = 21013;
    std::unique_ptr<RelaySim> relay;
    bool up = false;
    net.inside(net.relay, [&] {
        RelaySimOptions ro;
        ro.port = port;
        ro.user = "alice";
        ro.password = "secret";
        relay = std::make_unique<RelaySim>(ro);
        up = relay->start();
    });
    ASSERT_TRUE(up);
    TempDir dir;
    dir.write("Config.xml", sysLine("udpport=\"\" tcpport=\"" + std::to_string(port) +
                                    "\" mode=\"2\" usr=\"alice\" pwd=\"secret\"") + "</VSPConfig>");
    FakeMessages msgs;
    FakeClock clock;
    std::unique_ptr<Manager> core;
    net.inside(net.manager, [&] {  // the socket's worker is made here, so it stays on the manager's host
        ManagerOptions o;
        o.cfgFileName = dir.file("Config.xml");
        o.relayBuiltinIp = net.relayIp;
        o.makePort = [] { return std::make_shared<FakePort>(); };
        core = std::make_unique<Manager>(msgs, clock, o);
        core->FormCreate();
    });
    auto tcp = std::dynamic_pointer_cast<VDTCPCSocket>(core->socket());
    ASSERT_TRUE(tcp);
    ASSERT_TRUE(eventually([&] {
        core->sendRelayLogon();
        return relay->counts().logons > 0;
    }, 10000));

    net.cut(true);
    // Nothing is sent: only the connection's own probes can find it dead.
    ASSERT_TRUE(eventually([&] { return !tcp->Connected(); }, 30000));
    const int logons = relay->counts().logons;
    net.cut(false);
    EXPECT_TRUE(eventually([&] {
        core->sendRelayLogon();
        return relay->counts().logons > logons;
    }, 30000));
    tcp.reset();
    core->FormDestroy();
    relay.reset();
}

TEST(FastRelay, DtuStateOpensThePathWithOneByteStraightToTheDtu) {
    BridgeFixture f(portXml(3, 1, 1, dtuXml("F1")), 1, "u", "p");
    DtuSim& sim = f.sim("F1");
    // The relay (here: nobody listens) reports the DTU at the simulator's endpoint.
    RelayDtuStatePkt st;
    st.devNo = "F1";
    const uint8_t wire[6] = {127, 0, 0, 1, static_cast<uint8_t>(sim.localPort() >> 8),
                             static_cast<uint8_t>(sim.localPort() & 255)};
    std::memcpy(st.wire, wire, 6);
    std::vector<uint8_t> p = encodeRelayDtuState(st);
    f.core->dispatchPacket(f.core->net().relayAddr, p.data(), static_cast<uint32_t>(p.size()));
    EXPECT_TRUE(eventually([&] { return sim.hellos() == 1; }));
    EXPECT_EQ(sim.packetsReceived(), 0u);
}
