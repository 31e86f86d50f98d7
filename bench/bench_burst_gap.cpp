// An Unknow port (protocol 0) carries a Modbus-style exchange: the program
// writes an 8-byte request, the DTU echoes it. A burst leaves after 50 ms of
// silence by default, or after 3.5 characters at the speed the program set
// when the port ends bursts at line speed. Measured: how long the request
// takes to reach the DTU (the silence is most of it) and the round trip,
// beside socat's round trip in the same run (socat sends what it reads at
// once, knowing nothing of bursts).
// Usage: bench_burst_gap [trips per line-speed case]   (default 1000; the
// 50 ms case makes a fifth of them)
#include <termios.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "tools/DtuSim.h"

using namespace bench;

namespace {
const std::string REQUEST("\x01\x03\x00\x10\x00\x02\xc5\xce", 8);

struct Stats {
    double median = 0, p99 = 0;
};
Stats stats(std::vector<double> us) {
    if (us.empty()) return {};
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

struct Result {
    Stats toDtu, trip;
    int wrong = 0;
};

// Sets the program's line speed, as a serial program does.
void setSpeed(int fd, speed_t speed) {
    termios t{};
    tcgetattr(fd, &t);
    cfsetspeed(&t, speed);
    tcsetattr(fd, TCSANOW, &t);
}

// `arrived`: when the DTU got the request (0 where nobody watches).
Result run(int fd, int n, const std::atomic<int64_t>* arrived) {
    Result r;
    std::vector<double> toDtu, trip;
    char buf[256];
    for (int i = 0; i < n + 20; ++i) {  // the first 20 warm up
        const auto t0 = Steady::now();
        if (write(fd, REQUEST.data(), REQUEST.size()) != static_cast<ssize_t>(REQUEST.size())) return r;
        std::string got;
        while (got.size() < REQUEST.size()) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) break;
            ssize_t k = read(fd, buf, sizeof buf);
            if (k > 0) got.append(buf, static_cast<size_t>(k));
        }
        const auto t1 = Steady::now();
        if (got != REQUEST) {
            ++r.wrong;
            tcflush(fd, TCIFLUSH);
            continue;
        }
        if (i < 20) continue;
        trip.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        if (arrived)
            toDtu.push_back(std::chrono::duration<double, std::micro>(
                                Steady::time_point(Steady::duration(arrived->load())) - t0)
                                .count());
    }
    r.toDtu = stats(toDtu);
    r.trip = stats(trip);
    return r;
}

Result throughManager(bool lineGap, speed_t speed, int n) {
    OnePortManager m({"G1"}, 0, 0, lineGap);
    if (!m.start()) std::exit(1);
    std::atomic<int64_t> arrived{0};
    auto dtu = m.echoDtu("G1");
    dtu->onData = [&](const uint8_t*, size_t) { arrived = Steady::now().time_since_epoch().count(); };
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int fd = openRaw(m.portPath());
    setSpeed(fd, speed);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the manager sees the port open
    Result r = run(fd, n, &arrived);
    close(fd);
    return r;
}

void print(const char* what, const Result& r) {
    std::printf("  %-34s to the DTU median %8.1f us, p99 %8.1f us; round trip median %8.1f us, p99 %8.1f us; wrong %d\n",
                what, r.toDtu.median, r.toDtu.p99, r.trip.median, r.trip.p99, r.wrong);
}
}  // namespace

int main(int argc, char** argv) {
    const int n = argc > 1 ? std::atoi(argv[1]) : 1000;
    const Result fixed = throughManager(false, B115200, std::max(1, n / 5));
    const Result at9600 = throughManager(true, B9600, n);
    const Result at115200 = throughManager(true, B115200, n);

    TempDir dir;
    UdpEcho echo;
    Socat socat(dir.file("socat-pty"), echo.port);
    if (!socat.ready()) return 1;
    int sfd = openRaw(socat.link);
    setSpeed(sfd, B115200);
    const Result soc = run(sfd, n, nullptr);
    close(sfd);

    std::printf("An 8-byte request through an Unknow port to an echoing DTU and back (every byte checked)\n");
    print("manager, 50 ms of silence:", fixed);
    print("manager, line speed, 9600 baud:", at9600);
    print("manager, line speed, 115200 baud:", at115200);
    std::printf("  %-34s %34s round trip median %8.1f us, p99 %8.1f us; wrong %d\n", "socat (no bursts):", "",
                soc.trip.median, soc.trip.p99, soc.wrong);
    if (soc.trip.median > 0)
        std::printf("  ratio manager/socat round trip median: 50 ms %.1f, 9600 baud %.1f, 115200 baud %.1f\n",
                    fixed.trip.median / soc.trip.median, at9600.trip.median / soc.trip.median,
                    at115200.trip.median / soc.trip.median);
    return 0;
}
