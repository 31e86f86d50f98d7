// Round trip of a Kestrel frame: serial program -> manager -> DTU (echo) ->
// manager -> serial program, against the same trip through socat's
// PTY <-> UDP bridge and a UDP echo, on this machine in the same run.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/BridgeFixture.h"
#include "support/ManagerProcess.h"

namespace {
using Clock = std::chrono::steady_clock;

std::string kestrelFrame(size_t dataLen) {
    std::string f = "\x1b$VARDO";
    f += '\x01';  // LED 1
    f += '\0';
    f += static_cast<char>(dataLen >> 8);
    f += static_cast<char>(dataLen & 0xFF);
    f += std::string("\x00\x00", 2);
    for (size_t i = 0; i < dataLen; ++i) f += static_cast<char>('a' + i % 26);
    return f;
}

int openRaw(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

// Writes the frame, reads until as many bytes came back; microseconds, or -1.
double trip(int fd, const std::string& frame) {
    auto t0 = Clock::now();
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return -1;
    size_t got = 0;
    char buf[4096];
    while (got < frame.size()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) return -1;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) got += static_cast<size_t>(n);
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

struct Stats {
    double median, p99;
    int lost;
};

Stats measure(int fd, const std::string& frame, int n) {
    std::vector<double> us;
    int lost = 0;
    for (int i = 0; i < 50; ++i) trip(fd, frame);  // warm up
    for (int i = 0; i < n; ++i) {
        double t = trip(fd, frame);
        if (t < 0) {
            ++lost;
            tcflush(fd, TCIFLUSH);
        } else {
            us.push_back(t);
        }
    }
    std::sort(us.begin(), us.end());
    if (us.empty()) return {0, 0, lost};
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)], lost};
}

// Sends every datagram back to where it came from.
struct UdpEcho {
    UdpEcho() : fd(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in sa = VDIPAddress(127, 0, 0, 1, 0).ToSockaddr();
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        port = ntohs(sa.sin_port);
        t = std::thread([this] {
            char buf[4096];
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
}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::string frame = kestrelFrame(64);

    TempDir dir;
    uint16_t port = freeUdpPort();
    dir.write("Config.xml", sysLine("udpport=\"" + std::to_string(port) + "\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"") +
                                portXml(1, 2, 1, dtuXml("B1", "1")) + "</VSPConfig>");
    ManagerProcess manager(dir);
    manager.start();
    if (!eventually([&] { return std::filesystem::exists(dir.file("ports/COM1")); }, 10000)) {
        std::fprintf(stderr, "the manager did not start:\n%s", manager.log().c_str());
        return 1;
    }
    DtuSimOptions o;
    o.devNo = "B1";
    o.peer = VDIPAddress(127, 0, 0, 1, port);
    o.echo = true;
    DtuSim dtu(o);
    dtu.start();
    dtu.logon();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int fd = openRaw(dir.file("ports/COM1"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Stats mgr = measure(fd, frame, n);
    close(fd);
    manager.terminate();

    UdpEcho echo;
    std::string link = dir.file("socat-pty");
    pid_t socat = fork();
    if (socat == 0) {
        std::string a = "PTY,raw,echo=0,link=" + link;
        std::string b = "UDP:127.0.0.1:" + std::to_string(echo.port);
        execlp("socat", "socat", a.c_str(), b.c_str(), nullptr);
        _exit(127);
    }
    if (!eventually([&] { return std::filesystem::exists(link); }, 5000)) {
        std::fprintf(stderr, "socat did not start\n");
        return 1;
    }
    int sfd = openRaw(link);
    Stats soc = measure(sfd, frame, n);
    close(sfd);
    kill(socat, SIGTERM);
    waitpid(socat, nullptr, 0);

    std::printf("Round trip of a %zu-byte Kestrel frame, %d trips each\n", frame.size(), n);
    std::printf("  manager (PTY -> UDP -> DTU echo -> UDP -> PTY): median %.1f us, p99 %.1f us, lost %d\n", mgr.median,
                mgr.p99, mgr.lost);
    std::printf("  socat   (PTY -> UDP -> echo     -> UDP -> PTY): median %.1f us, p99 %.1f us, lost %d\n", soc.median,
                soc.p99, soc.lost);
    if (soc.median > 0) std::printf("  ratio manager/socat: median %.2f, p99 %.2f\n", mgr.median / soc.median, mgr.p99 / soc.p99);
    return 0;
}
