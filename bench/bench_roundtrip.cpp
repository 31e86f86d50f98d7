// Round trip of a Kestrel frame: serial program -> manager -> DTU (echo) ->
// manager -> serial program, against the same trip through socat's
// PTY <-> UDP bridge and a UDP echo, on this machine in the same run.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "tools/DtuSim.h"

using namespace bench;

namespace {
// Writes the frame, reads until it came back whole; microseconds, or -1.
double trip(int fd, const std::string& frame) {
    auto t0 = Steady::now();
    if (write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) return -1;
    std::string got;
    char buf[4096];
    while (got.size() < frame.size()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0) return -1;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    if (got != frame) return -1;
    return std::chrono::duration<double, std::micro>(Steady::now() - t0).count();
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
}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 2000;
    const std::string frame = kestrelFrame(letters(64));

    OnePortManager m({"B1"});
    if (!m.start()) return 1;
    auto dtu = m.echoDtu("B1");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int fd = openRaw(m.portPath());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    Stats mgr = measure(fd, frame, n);
    close(fd);
    m.manager.terminate();

    UdpEcho echo;
    Socat socat(m.dir.file("socat-pty"), echo.port);
    if (!socat.ready()) return 1;
    int sfd = openRaw(socat.link);
    Stats soc = measure(sfd, frame, n);
    close(sfd);

    std::printf("Round trip of a %zu-byte Kestrel frame, %d trips each (every byte checked)\n", frame.size(), n);
    std::printf("  manager (PTY -> UDP -> DTU echo -> UDP -> PTY): median %.1f us, p99 %.1f us, lost or wrong %d\n",
                mgr.median, mgr.p99, mgr.lost);
    std::printf("  socat   (PTY -> UDP -> echo     -> UDP -> PTY): median %.1f us, p99 %.1f us, lost or wrong %d\n",
                soc.median, soc.p99, soc.lost);
    if (soc.median > 0) std::printf("  ratio manager/socat: median %.2f, p99 %.2f\n", mgr.median / soc.median, mgr.p99 / soc.p99);
    return 0;
}
