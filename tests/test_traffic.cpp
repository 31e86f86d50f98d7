// The traffic tap: packets decoded for the monitor (hostile ones included),
// the monitor's bounds and filter, and the capture and serial log written
// during a real exchange through a port, read back.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <thread>

#include "app/PacketView.h"
#include "app/TrafficFiles.h"
#include "app/TrafficRing.h"
#include "link/LinkProtocol.h"
#include "support/BridgeFixture.h"
#include "support/Frames.h"
#include "support/PcapReader.h"

namespace {
std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::vector<uint8_t> link(const std::string& devNo, uint8_t type, const std::string& body = "") {
    return encodeLinkPacket(devNo, type, reinterpret_cast<const uint8_t*>(body.data()), body.size());
}
std::vector<uint8_t> relay(uint8_t type, const std::string& devNo, const std::string& body = "") {
    std::vector<uint8_t> p(RELAY_DTU_HEADER);
    int n = type == RelayLogon ? encodeCredentials(p.data(), type, "fleet", "secret")
                               : encodeRelayDtuHeader(p.data(), type, "fleet", "secret", devNo);
    p.resize(static_cast<size_t>(n));
    p.insert(p.end(), body.begin(), body.end());
    return p;
}
TapRecord record(TapDir dir, std::vector<uint8_t> b) {
    TapRecord r;
    r.dir = dir;
    r.peer = VDIPAddress(127, 0, 0, 1, 4000);
    r.bytes = std::move(b);
    return r;
}

struct Case {
    const char* what;
    TapDir dir;
    std::vector<uint8_t> bytes;
    std::string type, devNo, frame;
};

std::vector<Case> cases() {
    const std::string k = kestrel(5, "abc"), o = osprey(9, "wxyz"), h = harrier(255, "12");
    return {
        {"logon", TapDir::Rx, link("13800001111", DtuLogon), "DtuLogon", "13800001111", ""},
        {"data to a DTU", TapDir::Tx, link("D1", DtuData, k), "DtuData", "D1", "Kestrel LED 5, 16 bytes"},
        {"data from a DTU", TapDir::Rx, link("D1", DtuData, o), "DtuData", "D1", "Osprey/Farcomm LED 9, 20 bytes"},
        {"relay data", TapDir::Tx, relay(RelayData, "D2", h), "RelayData", "D2", "Harrier LED 255, 20 bytes"},
        {"relay logon", TapDir::Tx, relay(RelayLogon, ""), "RelayLogon", "", ""},
        {"relay query", TapDir::Tx, relay(RelayQuery, "D3"), "RelayQuery", "D3", ""},
        {"relay DTU data", TapDir::Rx, link("D2", RelayDtuData, k), "RelayDtuData", "D2", "Kestrel LED 5, 16 bytes"},
        {"relay DTU state", TapDir::Rx, link("D2", RelayDtuState, std::string(14, '\0')), "RelayDtuState", "D2", ""},
        {"state request", TapDir::Tx, link("D1", DtuGetState), "DtuGetState", "D1", ""},
        {"state answer", TapDir::Rx, link("D1", DtuGetState | ANSWER_FLAG, std::string(72, 'x')),
         "management response", "D1", ""},
        {"bare serial bytes", TapDir::Tx, bytes(k), "raw", "", "Kestrel LED 5, 16 bytes"},
        {"Fast Relay opening byte", TapDir::Tx, bytes("\x61"), "raw", "", ""},
        // Hostile or broken: never read past the end (ASan watches), never named.
        {"empty", TapDir::Rx, {}, "bad", "", ""},
        {"one byte", TapDir::Rx, bytes("\x01"), "bad", "", ""},
        {"15 bytes", TapDir::Rx, bytes(std::string(15, '\0')), "bad", "", ""},
        {"no end to the device number", TapDir::Rx, bytes(std::string(15, 'A') + "\x01"), "bad", "", ""},
        {"relay type, cut short", TapDir::Tx, bytes(std::string(15, 'A') + "\x63" + "xyz"), "raw", "", ""},
        {"frame header cut short", TapDir::Tx, link("D1", DtuData, k.substr(0, 10)), "DtuData", "D1", ""},
        {"header announcing more than came", TapDir::Rx, link("D1", DtuData, kestrel(7, std::string(300, 'q')).substr(0, 20)),
         "DtuData", "D1", "Kestrel LED 7, 313 bytes"},
        {"garbage in a data packet", TapDir::Rx, link("D1", DtuData, "\x1b$VARDX......."), "DtuData", "D1", ""},
    };
}
}  // namespace

TEST(PacketView, NamesDevicesAndFrames) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.what);
        // An exact-size heap copy, so that a read past the end is caught.
        PacketView v = describePacket(record(c.dir, c.bytes));
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(v.devNo, c.devNo);
        EXPECT_EQ(frameText(v.frame), c.frame);
        EXPECT_EQ(v.rec.bytes, c.bytes);
    }
}

TEST(PacketView, HexDumpShowsBytesAndText) {
    const std::string s = "AB\x01\x7f" + std::string(14, 'z');
    EXPECT_EQ(hexDump(reinterpret_cast<const uint8_t*>(s.data()), s.size()),
              "0000  41 42 01 7F 7A 7A 7A 7A 7A 7A 7A 7A 7A 7A 7A 7A AB..zzzzzzzzzzzz\n"
              "0010  7A 7A                                           zz\n");
}

TEST(MonitorFilter, PortDeviceAndText) {
    PacketView v = describePacket(record(TapDir::Tx, link("D1", DtuData, kestrel(5, "abc"))));
    v.port = 7;
    struct F {
        MonitorFilter f;
        bool shown;
    };
    const F filters[] = {
        {{}, true},           {{7, "", ""}, true},        {{8, "", ""}, false},    {{0, "D1", ""}, true},
        {{0, "D2", ""}, false}, {{7, "D1", "kestrel"}, true}, {{0, "", "harrier"}, false}, {{0, "", "4000"}, true},
        {{0, "", "dtudata"}, true},
    };
    for (const F& f : filters) EXPECT_EQ(f.f.accepts(v), f.shown) << f.f.port << " " << f.f.devNo << " " << f.f.text;
}

TEST(TrafficRing, TwoThreadsPushWhileTheWindowDrains) {
    // The reader's and the socket's threads push, the window drains: every
    // record arrives whole, each thread's in order, or is counted as gone.
    TrafficRing ring(64);
    constexpr int PER_THREAD = 20000;
    std::atomic<int> finished{0};
    auto producer = [&](int who) {
        for (int i = 0; i < PER_THREAD; ++i) {
            TapRecord r;
            r.port = who;
            r.usec = i;
            const std::vector<uint8_t> bytes(static_cast<size_t>(1 + i % 40), static_cast<uint8_t>(i));
            ring.push(r, bytes.data(), bytes.size());
        }
        ++finished;
    };
    std::thread a(producer, 1), b(producer, 2);
    int64_t last[3] = {-1, -1, -1};
    uint64_t got = 0;
    std::vector<TapRecord> batch;
    auto take = [&] {
        batch.clear();
        ring.drain(batch);
        for (const TapRecord& r : batch) {
            ASSERT_TRUE(r.port == 1 || r.port == 2);
            EXPECT_GT(r.usec, last[r.port]);
            last[r.port] = r.usec;
            const auto i = static_cast<size_t>(r.usec);
            EXPECT_EQ(r.bytes, std::vector<uint8_t>(1 + i % 40, static_cast<uint8_t>(i)));
        }
        got += batch.size();
    };
    while (finished < 2 && !::testing::Test::HasFailure()) {
        take();
        std::this_thread::yield();
    }
    a.join();
    b.join();
    take();
    EXPECT_EQ(got + ring.overwritten(), 2u * PER_THREAD);
    EXPECT_GT(got, 0u);
}

TEST(TrafficRing, KeepsTheNewestUpToItsCapacity) {
    TrafficRing ring(100);
    // Record i carries i bytes of value i: a slot that kept old bytes, or
    // got another's, shows.
    auto fill = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            TapRecord r;
            r.port = i;
            const std::vector<uint8_t> bytes(static_cast<size_t>(i % 50), static_cast<uint8_t>(i));
            ring.push(r, bytes.data(), bytes.size());
        }
    };
    auto check = [](const std::vector<TapRecord>& got, int first) {
        for (size_t k = 0; k < got.size(); ++k) {
            const int i = first + static_cast<int>(k);
            EXPECT_EQ(got[k].port, i);
            EXPECT_EQ(got[k].bytes, std::vector<uint8_t>(static_cast<size_t>(i % 50), static_cast<uint8_t>(i))) << i;
        }
    };
    fill(0, 105);
    std::vector<TapRecord> got;
    ring.drain(got);
    ASSERT_EQ(got.size(), 100u);
    check(got, 5);
    EXPECT_EQ(ring.overwritten(), 5u);
    got.clear();
    ring.drain(got);
    EXPECT_TRUE(got.empty());
    // Both sides reused: slots that held longer records take shorter ones.
    for (int round = 0; round < 4; ++round) {
        fill(1000 + round * 60, 1000 + round * 60 + 60);
        got.clear();
        ring.drain(got);
        ASSERT_EQ(got.size(), 60u);
        check(got, 1000 + round * 60);
    }
    ring.clear();  // a monitor opens afresh
    EXPECT_EQ(ring.overwritten(), 0u);
}

TEST(RecordFile, AFullDiskIsToldOnceAndNothingBlocks) {
    std::string error;
    testing::internal::CaptureStderr();
    {
        auto f = openSerialLog("/dev/full", error);
        ASSERT_TRUE(f) << error;
        for (int i = 0; i < 20000; ++i) f->push(record(TapDir::Tx, std::vector<uint8_t>(100, 0x55)));
    }
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("serial log /dev/full: No space left on device; nothing more is written to it\n"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("No space", err.find("No space") + 1), std::string::npos) << err;  // once
    EXPECT_NE(err.find("records not written"), std::string::npos) << err;
}

TEST(RecordFile, AFileThatCannotBeMadeIsOneLine) {
    std::string error;
    EXPECT_FALSE(openCapture("/nonexistent-folder/x.pcap", error));
    EXPECT_EQ(error, "vsp-manager: capture /nonexistent-folder/x.pcap: No such file or directory");
}

TEST(Capture, AnExchangeThroughAPortIsReadBack) {
    BridgeFixture f(portXml(7, 2, 1, dtuXml("C1", "5")));
    std::string error;
    const std::string pcap = f.dir.file("run.pcap"), serialLog = f.dir.file("serial.log");
    auto capture = openCapture(pcap, error);
    auto slog = openSerialLog(serialLog, error);
    ASSERT_TRUE(capture && slog) << error;
    f.core->traffic().setCapture(std::move(capture));
    f.core->traffic().setSerialLog(std::move(slog));

    DtuSim& sim = f.sim("C1");
    ASSERT_TRUE(f.online(sim, "C1"));
    auto program = f.program(7);
    const std::string request = kestrel(5, "ping"), answer = kestrel(5, "pong!");
    program->write(request);
    ASSERT_TRUE(sim.waitData(request.size(), 3000));
    sim.sendData(reinterpret_cast<const uint8_t*>(answer.data()), answer.size());
    ASSERT_EQ(program->read(answer.size()), answer);
    f.core->FormDestroy();  // finishes both files

    const std::string manager = "127.0.0.1:" + std::to_string(f.udpPort);
    const std::string dtu = "127.0.0.1:" + std::to_string(sim.localPort());
    bool ok = false;
    std::vector<PcapPacket> got = readPcap(pcap, ok);
    ASSERT_TRUE(ok);
    ASSERT_EQ(got.size(), 3u);
    const struct {
        std::string src, dst;
        std::vector<uint8_t> payload;
    } want[] = {{dtu, manager, link("C1", DtuLogon)},
                {manager, dtu, link("C1", DtuData, request)},
                {dtu, manager, link("C1", DtuData, answer)}};
    for (size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(got[i].checksumOk);
        EXPECT_EQ(got[i].src, want[i].src);
        EXPECT_EQ(got[i].dst, want[i].dst);
        EXPECT_EQ(got[i].payload, want[i].payload);
    }

    // tcpdump, where installed, reads the same three datagrams.
    if (std::system("command -v tcpdump >/dev/null 2>&1") == 0) {
        std::string cmd = "tcpdump -nr " + pcap + " 2>/dev/null";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_TRUE(p);
        std::string out;
        char line[512];
        while (std::fgets(line, sizeof line, p)) out += line;
        pclose(p);
        auto dotted = [](std::string s) { return s.replace(s.rfind(':'), 1, "."); };
        EXPECT_NE(out.find(dotted(dtu) + " > " + dotted(manager) + ": UDP, length 16\n"), std::string::npos) << out;
        EXPECT_NE(out.find(dotted(manager) + " > " + dotted(dtu) + ": UDP, length " +
                           std::to_string(16 + request.size()) + "\n"),
                  std::string::npos)
            << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3) << out;
    }

    // The reader may take what the program wrote in more than one read: bytes per direction.
    std::ifstream in(serialLog);
    std::string tx, rx;
    for (std::string l; std::getline(in, l);) {
        const size_t at = l.find(" COM7 ");
        ASSERT_NE(at, std::string::npos) << l;
        std::string& side = l.compare(at + 6, 3, "tx ") == 0 ? tx : rx;
        side += (side.empty() ? "" : " ") + l.substr(at + 9);
    }
    auto hex = [](const std::string& s) {
        return hexPreview(reinterpret_cast<const uint8_t*>(s.data()), s.size(), s.size());
    };
    EXPECT_EQ(tx, hex(request));
    EXPECT_EQ(rx, hex(answer));
}
