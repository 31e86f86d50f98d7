#pragma once
// What the benchmarks share: Kestrel frames, a serial program's raw
// descriptor, a manager with one port, socat as the yardstick with a UDP
// echo, a fleet of DTUs on one UDP socket, and what /proc says of a process.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/LinkProtocol.h"
#include "support/BridgeFixture.h"
#include "support/ManagerProcess.h"
#include "support/TestSupport.h"

namespace bench {
using Steady = std::chrono::steady_clock;

inline double secondsSince(Steady::time_point t0) { return std::chrono::duration<double>(Steady::now() - t0).count(); }

// A Kestrel controller frame (serProto 2) for that LED, around `data`.
inline std::string kestrelFrame(const std::string& data, uint8_t led = 1) {
    std::string f = "\x1b$VARDO";
    f += static_cast<char>(led);
    f += '\0';
    f += static_cast<char>(data.size() >> 8);
    f += static_cast<char>(data.size() & 0xFF);
    f += std::string("\x00\x00", 2);
    return f + data;
}
inline std::string letters(size_t n, size_t from = 0) {
    std::string s(n, ' ');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (from + i) % 26);
    return s;
}

// The serial program's side of a port: opened raw, as a program would.
inline int openRaw(const std::string& path, bool nonBlocking = false) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | (nonBlocking ? O_NONBLOCK : 0));
    if (fd < 0) return -1;
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

inline int boundUdp(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = VDIPAddress(127, 0, 0, 1, port).ToSockaddr();
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return fd;
}

// True when someone has bound the UDP port (on any address).
inline bool udpPortTaken(uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = VDIPAddress(127, 0, 0, 1, port).ToSockaddr();
    bool taken = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 && errno == EADDRINUSE;
    close(fd);
    return taken;
}

// Sends every datagram back to where it came from.
struct UdpEcho {
    UdpEcho() : fd(boundUdp(0)), port(boundPort(fd)) {
        t = std::thread([this] {
            char buf[65536];
            while (!stop) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 50) <= 0) continue;
                sockaddr_in from{};
                socklen_t fl = sizeof from;
                ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
                if (n > 0) sendto(fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fl);
            }
        });
    }
    ~UdpEcho() {
        stop = true;
        t.join();
        close(fd);
    }
    int fd;
    uint16_t port;
    std::atomic<bool> stop{false};
    std::thread t;
};

// socat's PTY <-> UDP bridge: the pseudo-terminal behind `link`, datagrams
// to 127.0.0.1:peer from 127.0.0.1:local (0: any port).
struct Socat {
    Socat(const std::string& path, uint16_t peer, uint16_t local = 0) : link(path) {
        pid = fork();
        if (pid == 0) {
            std::string a = "PTY,raw,echo=0,link=" + path;
            std::string b = "UDP:127.0.0.1:" + std::to_string(peer);
            if (local) b += ",sourceport=" + std::to_string(local);
            execlp("socat", "socat", a.c_str(), b.c_str(), nullptr);
            _exit(127);
        }
    }
    ~Socat() {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    // False, with a line on stderr, when its terminal did not appear.
    bool ready() const {
        if (eventually([&] { return std::filesystem::exists(link); }, 5000)) return true;
        std::fprintf(stderr, "socat did not start\n");
        return false;
    }
    pid_t pid;
    std::string link;
};

// The manager program in a folder of its own, with one port COM1 (Kestrel
// unless told, LED 1) serving the given DTUs; `netns` as ManagerProcess::start
// takes it. `lineGap`: bursts end at the line's speed.
struct OnePortManager {
    explicit OnePortManager(const std::vector<std::string>& devNos, uint16_t port = 0, int serProto = 2,
                            bool lineGap = false)
        : udpPort(port ? port : freeUdpPort()) {
        std::string dtus;
        for (auto& d : devNos) dtus += dtuXml(d, "1");
        std::string com1 = portXml(1, serProto, 1, dtus);
        if (lineGap) com1.insert(com1.find(" cmt="), " linegap=\"1\"");
        dir.write("Config.xml", sysLine("udpport=\"" + std::to_string(udpPort) +
                                        "\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"") +
                                    com1 + "</VSPConfig>");
    }
    bool start(const std::vector<std::string>& extra = {}) {
        manager.start("", extra);
        if (eventually([&] { return std::filesystem::exists(portPath()) && udpPortTaken(udpPort); }, 10000)) return true;
        std::fprintf(stderr, "the manager did not start:\n%s", manager.log().c_str());
        return false;
    }
    std::string portPath() const { return dir.file("ports/COM1"); }
    VDIPAddress addr() const { return VDIPAddress(127, 0, 0, 1, udpPort); }
    // A simulated DTU that echoes what it gets, logged on to the manager.
    std::unique_ptr<DtuSim> echoDtu(const std::string& devNo) const {
        DtuSimOptions o;
        o.devNo = devNo;
        o.peer = addr();
        o.echo = true;
        auto dtu = std::make_unique<DtuSim>(o);
        dtu->start();
        dtu->logon();
        return dtu;
    }
    TempDir dir;
    uint16_t udpPort;
    ManagerProcess manager{dir};
};

// DTUs on one UDP socket of ours (several share its endpoint): logons and
// data packets made by the codec, sent to the manager in batches.
class Fleet {
public:
    // Makes the socket in the calling thread's network namespace.
    explicit Fleet(const VDIPAddress& manager) : fd_(boundUdp(0)) {
        int big = 8 << 20;
        setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &big, sizeof big);
        sockaddr_in sa = manager.ToSockaddr();
        connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    ~Fleet() { close(fd_); }
    int fd() const { return fd_; }
    // Sends each packet once, in batches; returns how many went.
    size_t send(const std::vector<std::vector<uint8_t>>& packets, size_t from, size_t count) {
        constexpr size_t BATCH = 64;
        mmsghdr msgs[BATCH];
        iovec iov[BATCH];
        size_t sent = 0;
        while (sent < count) {
            size_t n = std::min(BATCH, count - sent);
            for (size_t i = 0; i < n; ++i) {
                auto& p = packets[(from + sent + i) % packets.size()];
                iov[i] = {const_cast<uint8_t*>(p.data()), p.size()};
                msgs[i] = {};
                msgs[i].msg_hdr.msg_iov = &iov[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
            }
            int r = sendmmsg(fd_, msgs, static_cast<unsigned>(n), 0);
            if (r <= 0) {
                if (r < 0 && errno != EAGAIN && errno != ENOBUFS && errno != ECONNREFUSED) break;
                std::this_thread::sleep_for(std::chrono::microseconds(50));
                continue;
            }
            sent += static_cast<size_t>(r);
        }
        return sent;
    }
    // Logs every number on at about `perSecond`.
    void logon(const std::vector<std::string>& devNos, double perSecond = 20000) {
        std::vector<std::vector<uint8_t>> p;
        for (auto& d : devNos) p.push_back(encodeLinkPacket(d, DtuLogon));
        paced(p, perSecond, p.size());
    }
    // Sends `total` packets, the list in turn, at a smooth `perSecond` (a
    // batch each 0.5 ms); `onSent(index, n)` is told what went. Returns how many went.
    template <class F>
    size_t paced(const std::vector<std::vector<uint8_t>>& packets, double perSecond, size_t total, F onSent) {
        const auto t0 = Steady::now();
        size_t sent = 0;
        while (sent < total) {
            size_t due = std::min(total, static_cast<size_t>(perSecond * secondsSince(t0)) + 1);
            if (due > sent) {
                size_t n = send(packets, sent, due - sent);
                onSent(sent, n);
                sent += n;
                if (n == 0) break;  // the socket failed
            }
            std::this_thread::sleep_until(t0 + std::chrono::microseconds(
                                                   static_cast<int64_t>((sent / perSecond) * 1e6) + 500));
        }
        return sent;
    }
    size_t paced(const std::vector<std::vector<uint8_t>>& packets, double perSecond, size_t total) {
        return paced(packets, perSecond, total, [](size_t, size_t) {});
    }

private:
    int fd_;
};

// --- what /proc says of a process

// The process running that executable (0: none).
inline pid_t pidOf(const std::string& exe) {
    for (auto& e : std::filesystem::directory_iterator("/proc")) {
        std::error_code ec;
        if (std::filesystem::read_symlink(e.path() / "exe", ec) == exe) return std::atoi(e.path().filename().c_str());
    }
    return 0;
}

// utime + stime in seconds.
inline double cpuSeconds(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::istringstream rest(s.substr(s.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {  // fields 14 and 15 of the line
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

inline long statusKb(pid_t pid, const std::string& key) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
    return -1;
}

// The Udp counters of the network namespace the process lives in.
inline std::map<std::string, long long> udpCounters(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/net/snmp");
    std::string names, values, line;
    while (std::getline(f, line)) {
        if (line.rfind("Udp: ", 0) != 0) continue;
        if (names.empty()) names = line;
        else values = line;
    }
    std::map<std::string, long long> out;
    std::istringstream n(names), v(values);
    std::string key, val;
    n >> key;
    v >> val;
    while (n >> key && v >> val) out[key] = std::stoll(val);
    return out;
}
}  // namespace bench
