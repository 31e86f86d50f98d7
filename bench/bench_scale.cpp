// The manager at scale: 99 ports (a reader in this program drains each) and
// 10,000 DTUs, all logged on from one UDP socket of ours. Measures, in a
// network namespace of its own (so that /proc/net/snmp counts only this
// traffic): idle CPU and memory with every DTU on line, then a smooth
// 60,000 DtuData packets/s for 4 s, then higher rates for the capacity;
// datagrams dropped at the manager's socket, its CPU, and every byte that
// reaches the ports, checked. Needs root for the namespace; without one it
// runs on loopback and cannot count drops.
// Usage: bench_scale [idle seconds]   (default 30)
#include <sys/epoll.h>

#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "support/TestNet.h"

using namespace bench;

namespace {
constexpr int PORTS = 99;
constexpr int DTUS = 10000;
constexpr size_t PAYLOAD = 32;

// DTU i sits on port i % 99 + 1; every third port is Unknow (serProto 0),
// which serves only its first DTU; the others are Kestrel with LED 1.
int portOf(int i) { return i % PORTS + 1; }
bool unknow(int port) { return port % 3 == 0; }
bool selected(int i) { return !unknow(portOf(i)) || i < PORTS; }
std::string devNo(int i) { return "N" + std::to_string(100000 + i); }
// What DTU i sends: its port and number, so the reader can check each piece.
std::string payload(int i) {
    char head[16];
    std::snprintf(head, sizeof head, "<%02d:%05d:", portOf(i), i);
    std::string p = head;
    p.resize(PAYLOAD - 1, '-');
    return p + '>';
}

std::string config(uint16_t udpPort) {
    std::vector<std::string> dtus(PORTS + 1);
    for (int i = 0; i < DTUS; ++i) dtus[portOf(i)] += dtuXml(devNo(i), "1", selected(i));
    std::string xml = sysLine("udpport=\"" + std::to_string(udpPort) + "\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"");
    for (int p = 1; p <= PORTS; ++p) xml += portXml(p, unknow(p) ? 0 : 2, 1, dtus[p]);
    return xml + "</VSPConfig>";
}

// Drains every port and checks it carries whole payloads of its own DTUs.
class Readers {
public:
    explicit Readers(const TempDir& dir) : ep_(epoll_create1(0)), got_(PORTS + 1) {
        for (int p = 1; p <= PORTS; ++p) {
            int fd = openRaw(dir.file("ports/COM" + std::to_string(p)), true);
            fds_.push_back(fd);
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u32 = static_cast<uint32_t>(p);
            epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &e);
        }
        t_ = std::thread([this] { run(); });
    }
    ~Readers() {
        stop_ = true;
        t_.join();
        for (int fd : fds_) close(fd);
        close(ep_);
    }
    uint64_t bytes() const { return bytes_; }
    uint64_t bad() const { return bad_; }

private:
    void run() {
        epoll_event ev[64];
        char buf[65536];
        while (!stop_) {
            int n = epoll_wait(ep_, ev, 64, 50);
            for (int i = 0; i < n; ++i) {
                int p = static_cast<int>(ev[i].data.u32);
                ssize_t r = read(fds_[static_cast<size_t>(p - 1)], buf, sizeof buf);
                if (r <= 0) continue;
                bytes_ += static_cast<uint64_t>(r);
                std::string& s = got_[static_cast<size_t>(p)];
                s.append(buf, static_cast<size_t>(r));
                size_t at = 0;
                for (; s.size() - at >= PAYLOAD; at += PAYLOAD) {
                    int port = -1, dtu = -1;
                    if (std::sscanf(s.c_str() + at, "<%2d:%5d:", &port, &dtu) != 2 || port != p || dtu < 0 ||
                        dtu >= DTUS || s.compare(at, PAYLOAD, payload(dtu)) != 0)
                        ++bad_;
                }
                s.erase(0, at);
            }
        }
    }
    int ep_;
    std::vector<int> fds_;
    std::vector<std::string> got_;
    std::atomic<uint64_t> bytes_{0}, bad_{0};
    std::atomic<bool> stop_{false};
    std::thread t_;
};

struct Phase {
    double rate = 0, seconds = 0, achieved = 0, cpuShare = 0, usPerPacket = 0;
    size_t sent = 0;
    long long rcvbufErrors = -1, inErrors = -1;
    uint64_t expected = 0, delivered = 0, bad = 0;
};
}  // namespace

int main(int argc, char** argv) {
    const double idleSecs = argc > 1 ? std::atof(argv[1]) : 30.0;
    TestNet net;
    const std::string ns = net.ok ? net.manager : "";
    if (!net.ok)
        std::printf("no network namespace (%s): on loopback, without the drop count\n", net.why.c_str());
    auto inNs = [&](const std::function<void()>& f) { net.ok ? net.inside(ns, f) : f(); };

    TempDir dir;
    const uint16_t udpPort = net.ok ? 21012 : freeUdpPort();
    dir.write("Config.xml", config(udpPort));
    ManagerProcess manager(dir);
    manager.start(ns);
    bool up = false;
    inNs([&] {
        up = eventually(
            [&] { return std::filesystem::exists(dir.file("ports/COM" + std::to_string(PORTS))) && udpPortTaken(udpPort); },
            30000);
    });
    if (!up) {
        std::fprintf(stderr, "the manager did not start:\n%s", manager.log().c_str());
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const pid_t pid = pidOf(dir.file("vsp-manager"));

    Readers readers(dir);
    std::unique_ptr<Fleet> fleet;
    inNs([&] { fleet = std::make_unique<Fleet>(VDIPAddress(127, 0, 0, 1, udpPort)); });
    std::vector<std::string> numbers;
    for (int i = 0; i < DTUS; ++i) numbers.push_back(devNo(i));
    fleet->logon(numbers);
    std::this_thread::sleep_for(std::chrono::seconds(3));  // the logons are in, a tick or two went by

    std::printf("99 ports (33 Unknow, 66 Kestrel), 10,000 DTUs logged on from one UDP socket%s\n",
                net.ok ? ", in a network namespace of its own" : "");
    std::printf("  RSS with every DTU on line: %.1f MB\n", statusKb(pid, "VmRSS") / 1024.0);
    double c0 = cpuSeconds(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSecs));
    double idle = cpuSeconds(pid) - c0;
    std::printf("  idle, 10,000 DTUs on line: %.2f CPU s in %.0f s = %.3f %% of a core\n", idle, idleSecs,
                idle / idleSecs * 100);
    std::fflush(stdout);

    // Each DTU in turn, in a shuffled order.
    std::vector<int> order(DTUS);
    for (int i = 0; i < DTUS; ++i) order[static_cast<size_t>(i)] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::vector<std::vector<uint8_t>> packets;
    for (int i : order) {
        std::string p = payload(i);
        packets.push_back(encodeLinkPacket(devNo(i), DtuData, reinterpret_cast<const uint8_t*>(p.data()), p.size()));
    }
    uint64_t expected = 0;
    auto phase = [&](double rate, double seconds) {
        Phase ph;
        ph.rate = rate;
        ph.seconds = seconds;
        auto u0 = udpCounters(pid);
        const uint64_t e0 = expected, d0 = readers.bytes(), b0 = readers.bad();
        const double cpu0 = cpuSeconds(pid);
        const auto t0 = Steady::now();
        ph.sent = fleet->paced(packets, rate, static_cast<size_t>(rate * seconds), [&](size_t from, size_t n) {
            for (size_t k = from; k < from + n; ++k)
                if (selected(order[k % order.size()])) expected += PAYLOAD;
        });
        const double wall = secondsSince(t0);
        ph.cpuShare = (cpuSeconds(pid) - cpu0) / wall;
        ph.achieved = static_cast<double>(ph.sent) / wall;
        // What is still on its way through the manager, then quiet.
        uint64_t last = ~0ull;
        while (readers.bytes() != last) {
            last = readers.bytes();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        ph.usPerPacket = (cpuSeconds(pid) - cpu0) * 1e6 / static_cast<double>(ph.sent);
        auto u1 = udpCounters(pid);
        if (net.ok) {
            ph.rcvbufErrors = u1["RcvbufErrors"] - u0["RcvbufErrors"];
            ph.inErrors = u1["InErrors"] - u0["InErrors"];
        }
        ph.expected = expected - e0;
        ph.delivered = readers.bytes() - d0;
        ph.bad = readers.bad() - b0;
        std::printf("  %6.0f pps for %.0f s (sent %zu at %.0f pps): socket drops %lld (RcvbufErrors; InErrors %lld),"
                    " manager CPU %.1f %% of a core, %.2f CPU us per packet; bytes to the ports %llu of %llu"
                    " (lost %lld), wrong pieces %llu\n",
                    rate, seconds, ph.sent, ph.achieved, ph.rcvbufErrors, ph.inErrors, ph.cpuShare * 100,
                    ph.usPerPacket, static_cast<unsigned long long>(ph.delivered),
                    static_cast<unsigned long long>(ph.expected),
                    static_cast<long long>(ph.expected) - static_cast<long long>(ph.delivered),
                    static_cast<unsigned long long>(ph.bad));
        std::fflush(stdout);
        return ph;
    };
    std::printf("DtuData packets of %zu data bytes, each DTU in turn (shuffled), one packet batch each 0.5 ms:\n",
                PAYLOAD);
    phase(60000, 4);
    double capacity = 0;
    for (double rate : {100000.0, 150000.0, 200000.0}) {
        Phase ph = phase(rate, 3);
        if (ph.rcvbufErrors == 0 && ph.inErrors == 0 && ph.delivered == ph.expected && ph.achieved > 0.95 * rate)
            capacity = rate;
    }
    if (net.ok) std::printf("  capacity: %.0f pps with zero drops (highest rate tried that passed)\n", capacity);
    std::printf("  RSS at the end: %.1f MB (peak %.1f MB)\n", statusKb(pid, "VmRSS") / 1024.0,
                statusKb(pid, "VmHWM") / 1024.0);
    manager.terminate();
    return 0;
}
