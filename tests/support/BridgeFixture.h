#pragma once
// A manager core with real pseudo-terminal ports and a real UDP socket on a
// free loopback port, DTU simulators, and a serial program's side of a port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include "support/TestSupport.h"
#include "tools/DtuSim.h"
#include "vsp/PtyPort.h"

// A manager core on dir/Config.xml with pseudo-terminal ports in dir/ports, started.
inline std::unique_ptr<Manager> startedManager(const TempDir& dir, FakeMessages& msgs, FakeClock& clock) {
    ManagerOptions o;
    o.cfgFileName = dir.file("Config.xml");
    o.relayBuiltinIp = "127.0.0.1";
    std::string portsDir = dir.file("ports");
    o.makePort = ptyPortMaker(portsDir);
    auto core = std::make_unique<Manager>(msgs, clock, o);
    core->FormCreate();
    return core;
}

// The serial program: opens ports/COMn raw, writes, reads with a deadline.
struct SerialProgram {
    explicit SerialProgram(const std::string& path) {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    ~SerialProgram() {
        if (fd >= 0) close(fd);
    }
    void write(const std::string& bytes) const {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += static_cast<size_t>(n);
            else usleep(1000);
        }
    }
    std::string read(size_t want, int ms = 3000) const {
        std::string out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < want && std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0) continue;
            char buf[4096];
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    int fd;
};

struct BridgeFixture {
    // `ports`: the CommPort elements of Config.xml; `sys`: extra Sys attributes.
    explicit BridgeFixture(const std::string& ports, int mode = 0, const std::string& usr = "",
                           const std::string& pwd = "")
        : udpPort(freeUdpPort()) {
        dir.write("Config.xml", sysLine("udpport=\"" + std::to_string(udpPort) + "\" tcpport=\"\" mode=\"" +
                                        std::to_string(mode) + "\" usr=\"" + usr + "\" pwd=\"" + pwd + "\"") +
                                    ports + "</VSPConfig>");
        core = startedManager(dir, msgs, clock);
        eventually([&] { return core->socket() && core->socket()->IsOpen(); });
    }
    ~BridgeFixture() {
        core->FormDestroy();
        sims.clear();
    }
    VDIPAddress managerAddr() const { return VDIPAddress(127, 0, 0, 1, udpPort); }
    DtuSim& sim(const std::string& devNo, bool bare = false, bool echo = false) {
        DtuSimOptions o;
        o.devNo = devNo;
        o.peer = managerAddr();
        o.bareIn = bare;
        o.echo = echo;
        sims.push_back(std::make_unique<DtuSim>(o));
        sims.back()->start();
        return *sims.back();
    }
    _tagDTU* dtu(const std::string& devNo) {
        return findDtu(*core, devNo);
    }
    // Logs the simulator on and waits until the manager has it on line.
    bool online(DtuSim& s, const std::string& devNo) {
        s.logon();
        return eventually([&] { return dtu(devNo)->online.load(); });
    }
    std::unique_ptr<SerialProgram> program(int n) {
        auto p = std::make_unique<SerialProgram>(dir.file("ports/COM" + std::to_string(n)));
        eventually([&] { return core->portInUse(n); });  // the reader has seen the open
        return p;
    }
    TempDir dir;
    FakeMessages msgs;
    FakeClock clock;
    uint16_t udpPort;
    std::unique_ptr<Manager> core;
    std::vector<std::unique_ptr<DtuSim>> sims;
};

inline std::string dtuXml(const std::string& id, const std::string& leds = "", bool sel = true) {
    return "<DTU id=\"" + id + "\" ip=\"\" cmt=\"\" devids=\"" + leds + "\" sel=\"" + (sel ? "1" : "0") + "\"/>";
}
inline std::string portXml(int n, int ser, int app, const std::string& dtus, int net = 0) {
    return "<CommPort port=\"" + std::to_string(n) + "\" netproto=\"" + std::to_string(net) + "\" appproto=\"" +
           std::to_string(app) + "\" serproto=\"" + std::to_string(ser) + "\" cmt=\"\">" + dtus + "</CommPort>";
}
