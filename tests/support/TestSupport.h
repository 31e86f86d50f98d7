#pragma once
// Fakes and helpers shared by the tests: a message sink that records and
// answers, a clock the test moves, a temporary folder, a virtual port in memory.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/Manager.h"
#include "support/MemSocket.h"
#include "net/VDEvent.h"

struct Shown {
    std::string text, caption;
    MsgIcon icon;
    MsgButtons buttons;
};

class FakeMessages : public MessageSink {
public:
    MsgAnswer show(const std::string& text, const std::string& caption, MsgIcon icon, MsgButtons buttons) override {
        std::lock_guard<std::mutex> lk(m);
        shown.push_back({text, caption, icon, buttons});
        if (buttons == MsgButtons::Ok) return MsgAnswer::Ok;
        if (answers.empty()) return MsgAnswer::No;
        MsgAnswer a = answers.front();
        answers.pop_front();
        return a;
    }
    std::vector<std::string> texts() const {
        std::lock_guard<std::mutex> lk(m);
        std::vector<std::string> out;
        for (auto& s : shown) out.push_back(s.text);
        return out;
    }
    mutable std::mutex m;
    std::vector<Shown> shown;
    std::deque<MsgAnswer> answers;
};

class FakeClock : public Clock {
public:
    uint64_t tickMs() override { return real.tickMs(); }  // the readers' silence needs real time
    uint64_t tickUs() override { return real.tickUs(); }
    int64_t localFileTime() override { return now.load(); }
    void advanceSeconds(int64_t s) { now += s * FILETIME_PER_SECOND; }
    std::atomic<int64_t> now{133000000000000000LL};  // a day in 2022
    SystemClock real;
};

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/vsptest-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
    void write(const std::string& name, const std::string& text) const { std::ofstream(file(name), std::ios::binary) << text; }
    std::string read(const std::string& name) const {
        std::ifstream f(file(name), std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    std::string path;
};

// A port in memory: records what the manager writes, and hands the reader
// what the test feeds it.
class FakePort : public IVirtualPort {
public:
    bool CreatePort(const std::string& n) override {
        name = n;
        return createOk;
    }
    bool Attach(const std::string&) override { return attachOk; }
    void SetStrictBaudrate(bool) override {}
    void SetDSR(bool on) override { dsr = on; }
    void SetCTS(bool on) override { cts = on; }
    int InQueueCount() override {
        std::lock_guard<std::mutex> lk(m);
        return static_cast<int>(in.size());
    }
    int Read(uint8_t* buf, int count) override {
        std::lock_guard<std::mutex> lk(m);
        int n = std::min<int>(count, static_cast<int>(in.size()));
        for (int i = 0; i < n; ++i) {
            buf[i] = in.front();
            in.pop_front();
        }
        return n;
    }
    int Write(const uint8_t* buf, int count) override {
        std::lock_guard<std::mutex> lk(m);
        out.insert(out.end(), buf, buf + count);
        return count;
    }
    void Delete() override { deleted = true; }
    bool GetBoolProperty(int id) override { return id == 7 && inUse; }
    bool WaitInput(VDEvent& stop, int timeoutMs) override {
        pollfd p{wake.Fd(), POLLIN, 0};
        return stop.WaitWith(&p, 1, timeoutMs) != VDEvent::Signalled;
    }
    void feed(const std::string& bytes) {
        {
            std::lock_guard<std::mutex> lk(m);
            in.insert(in.end(), bytes.begin(), bytes.end());
        }
        wake.Set();
    }
    std::string written() {
        std::lock_guard<std::mutex> lk(m);
        return {out.begin(), out.end()};
    }
    std::mutex m;
    std::deque<uint8_t> in;
    std::vector<uint8_t> out;
    std::string name;
    bool createOk = true, attachOk = false, inUse = false;
    std::atomic<bool> dsr{false}, cts{false}, deleted{false};
    VDEvent wake{false};
};

inline std::string str(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }

// The DTU with that number, looked up under the registry lock.
inline _tagDTU* findDtu(Manager& m, std::string_view devNo) {
    RegGuard g(m.registry().mutex());
    return m.registry().findDtu(g, devNo);
}

// A manager on a temporary Config.xml, with ports in memory; with
// `memoryNet` its socket is in memory too and the relay's name never resolves.
struct CoreFixture {
    explicit CoreFixture(const std::string& config = "", bool memoryNet = false) {
        if (!config.empty()) dir.write("Config.xml", config);
        ManagerOptions o;
        o.cfgFileName = dir.file("Config.xml");
        o.relayBuiltinIp = "127.0.0.1";
        o.makePort = [this]() -> std::shared_ptr<IVirtualPort> {
            auto p = std::make_shared<FakePort>();
            p->createOk = !failCreate;
            ports.push_back(p);
            return p;
        };
        if (memoryNet) {
            o.makeSocket = [this](const SocketSpec& spec) {
                auto s = std::make_shared<MemSocket>();
                s->stream = spec.tcp;
                sockets.push_back(s);
                return s;
            };
            o.lookup = [](const std::string&, uint8_t*) { return false; };
        }
        core = std::make_unique<Manager>(msgs, clock, o);
    }
    // Start-up's reading of Config.xml, without the network.
    bool load() { return core->loadConfig() == LoadResult::Loaded && core->readSettings() && core->readPorts(); }
    std::vector<Row*> rows() {
        std::vector<Row*> out;
        core->withRows([&](const auto& rs, const auto&) {
            for (auto& r : rs) out.push_back(r.get());
        });
        return out;
    }
    Row* row(const std::string& caption) {
        for (Row* r : rows())
            if (r->caption == caption) return r;
        return nullptr;
    }
    std::shared_ptr<FakePort> port(const std::string& name) {
        for (auto& p : ports)
            if (p->name == name && !p->deleted) return p;
        return nullptr;
    }
    TempDir dir;
    FakeMessages msgs;
    FakeClock clock;
    bool failCreate = false;
    std::vector<std::shared_ptr<FakePort>> ports;
    std::vector<std::shared_ptr<MemSocket>> sockets;
    std::unique_ptr<Manager> core;
};

inline std::string sysLine(const std::string& attrs) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<VSPConfig>\r\n<Sys " + attrs + " />\r\n";
}
inline const char* DIRECT_SYS = "udpport=\"21012\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"";

// The local port a socket is bound to.
inline uint16_t boundPort(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// A port that is free now on loopback: bind port 0, read it, let it go.
inline uint16_t freePort(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    uint16_t p = boundPort(fd);
    close(fd);
    return p;
}
inline uint16_t freeUdpPort() { return freePort(SOCK_DGRAM); }

// Waits for a condition with a deadline instead of sleeping a fixed time.
inline bool eventually(const std::function<bool()>& cond, int timeoutMs = 3000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return cond();
}
