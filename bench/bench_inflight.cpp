// Throughput with 8, 32 and 128 Kestrel frames of 1 KB in flight: the
// serial program keeps K frames outstanding through port COM1 to an echoing
// DTU (one frame per datagram at the DTU), and checks every byte that comes
// back, in order, by the sequence number each frame carries. socat's
// PTY <-> UDP bridge with a UDP echo does the same work in the same run
// (it may merge or split frames into datagrams: only the byte stream counts).
// The manager runs plain, with the traffic monitor open, and writing a
// capture and a serial log; each round runs all three and socat, and the
// ratios are taken within a round, then their median over the rounds.
// Usage: bench_inflight [seconds per run] [rounds]   (default 3 s, 1 round)
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "tools/DtuSim.h"

using namespace bench;

namespace {
constexpr size_t DATA = 1024;
constexpr size_t FRAME = 13 + DATA;
const std::string MARK = "\x1b$VARDO";

// Frame number `seq`: its number in 8 digits, then letters that depend on it.
std::string frameFor(uint64_t seq) {
    char num[16];
    std::snprintf(num, sizeof num, "%08llu", static_cast<unsigned long long>(seq % 100000000));
    return kestrelFrame(num + letters(DATA - 8, seq));
}

bool seqAt(const std::string& s, size_t at, uint64_t& seq) {
    seq = 0;
    for (size_t i = 0; i < 8; ++i) {
        char c = s[at + i];
        if (c < '0' || c > '9') return false;
        seq = seq * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

struct Result {
    uint64_t framesSent = 0, framesBack = 0, framesMissing = 0;
    uint64_t bytesSent = 0, bytesBack = 0, bytesGarbled = 0;
    double seconds = 0;  // to the last frame back
    double fps() const { return seconds > 0 ? framesBack / seconds : 0; }
};

// Frames numbered from `base`, `inFlight` outstanding at most, new ones
// for `seconds`; then waits for the rest (or 1 s of silence: lost).
Result run(int fd, uint64_t base, uint64_t inFlight, double seconds) {
    Result r;
    std::string out, in;
    size_t outAt = 0;
    uint64_t next = base;
    uint64_t accounted = base;  // frames before this one came back or were skipped
    const auto t0 = Steady::now();
    auto heard = t0;
    char buf[65536];
    for (;;) {
        const bool sending = secondsSince(t0) < seconds;
        while (sending && next - accounted < inFlight) out += frameFor(next++);
        if (!sending && next == accounted) break;
        if (secondsSince(heard) > 1.0) break;  // what is still out is lost
        pollfd p{fd, static_cast<short>(POLLIN | (outAt < out.size() ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if (p.revents & POLLOUT) {
            ssize_t n = write(fd, out.data() + outAt, out.size() - outAt);
            if (n > 0) {
                outAt += static_cast<size_t>(n);
                r.bytesSent += static_cast<uint64_t>(n);
            }
            if (outAt == out.size()) out.clear(), outAt = 0;
        }
        if (!(p.revents & POLLIN)) continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) continue;
        heard = Steady::now();
        r.bytesBack += static_cast<uint64_t>(n);
        in.append(buf, static_cast<size_t>(n));
        size_t pos = 0;
        for (;;) {
            size_t m = in.find(MARK, pos);
            if (m == std::string::npos) {
                size_t keep = std::min(in.size() - pos, MARK.size() - 1);
                r.bytesGarbled += in.size() - pos - keep;
                pos = in.size() - keep;
                break;
            }
            r.bytesGarbled += m - pos;
            pos = m;
            if (in.size() - pos < FRAME) break;
            uint64_t seq = 0;
            if (seqAt(in, pos + 13, seq) && seq >= accounted && seq < next && in.compare(pos, FRAME, frameFor(seq)) == 0) {
                r.framesMissing += seq - accounted;
                accounted = seq + 1;
                ++r.framesBack;
                r.seconds = secondsSince(t0);
                pos += FRAME;
            } else {
                ++r.bytesGarbled;
                ++pos;
            }
        }
        in.erase(0, pos);
    }
    r.framesSent = next - base;
    r.framesMissing += next - accounted;
    r.bytesGarbled += in.size();
    return r;
}

// Reads what is left of a run until the line is quiet.
void settle(int fd) {
    char buf[65536];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 300) <= 0) return;
        if (read(fd, buf, sizeof buf) <= 0) return;
    }
}

void print(const char* who, uint64_t k, const Result& r) {
    long long lost = static_cast<long long>(r.bytesSent) - static_cast<long long>(r.bytesBack);
    std::printf("  %-7s %3llu in flight: %8.0f frames/s, %llu frames sent, %llu back intact in order, %llu missing;"
                " bytes sent %llu, back %llu, lost %lld, garbled %llu\n",
                who, static_cast<unsigned long long>(k), r.fps(), static_cast<unsigned long long>(r.framesSent),
                static_cast<unsigned long long>(r.framesBack), static_cast<unsigned long long>(r.framesMissing),
                static_cast<unsigned long long>(r.bytesSent), static_cast<unsigned long long>(r.bytesBack), lost,
                static_cast<unsigned long long>(r.bytesGarbled));
}

// How the manager runs: as it is; with the traffic monitor open (every
// datagram into its ring, decoded and listed by the window); or writing
// every datagram and serial chunk to a capture and a serial log.
enum class Watch { None, Monitor, Files };

// One manager run of every K.
bool runManager(Watch watch, double seconds, std::vector<Result>& out) {
    OnePortManager m({"T1"});
    std::vector<std::string> extra;
    if (watch == Watch::Monitor) extra = {"--monitor"};
    if (watch == Watch::Files) extra = {"--capture", m.dir.file("run.pcap"), "--serial-log", m.dir.file("serial.log")};
    if (!m.start(extra)) return false;
    auto dtu = m.echoDtu("T1");
    int fd = openRaw(m.portPath(), true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the manager sees the port open
    uint64_t base = 0;
    for (uint64_t k : {8, 32, 128}) {
        out.push_back(run(fd, base += 1000000, k, seconds));
        settle(fd);
    }
    close(fd);
    return true;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 1;
    TempDir dir;
    UdpEcho echo;
    Socat socat(dir.file("socat-pty"), echo.port);
    if (!socat.ready()) return 1;
    int sfd = openRaw(socat.link, true);
    std::printf("Kestrel frames of %zu bytes (%zu data), K in flight, %.0f s of new frames per run, every byte checked\n",
                FRAME, DATA, seconds);
    const uint64_t ks[] = {8, 32, 128};
    // Ratios per K over the rounds: manager/socat, monitor/plain, files/plain.
    std::vector<double> toSocat[3], monitorCost[3], filesCost[3];
    uint64_t base = 10000000;  // frame numbers have 8 digits
    for (int round = 1; round <= rounds; ++round) {
        std::vector<Result> plain, monitored, tapped;
        if (!runManager(Watch::None, seconds, plain) || !runManager(Watch::Monitor, seconds, monitored) ||
            !runManager(Watch::Files, seconds, tapped))
            return 1;
        std::printf("round %d\n", round);
        for (size_t i = 0; i < 3; ++i) {
            const uint64_t k = ks[i];
            Result soc = run(sfd, base += 1000000, k, seconds);
            settle(sfd);
            print("manager", k, plain[i]);
            print("monitor", k, monitored[i]);
            print("files", k, tapped[i]);
            print("socat", k, soc);
            if (soc.fps() > 0) toSocat[i].push_back(plain[i].fps() / soc.fps());
            if (plain[i].fps() > 0) {
                monitorCost[i].push_back(monitored[i].fps() / plain[i].fps());
                filesCost[i].push_back(tapped[i].fps() / plain[i].fps());
            }
            std::fflush(stdout);
        }
    }
    for (size_t i = 0; i < 3; ++i)
        std::printf("at %3llu in flight, median over %d round(s): manager/socat frames/s %.2f; monitor open / plain %.2f;"
                    " capture + serial log / plain %.2f\n",
                    static_cast<unsigned long long>(ks[i]), rounds, median(toSocat[i]), median(monitorCost[i]),
                    median(filesCost[i]));
    close(sfd);
    return 0;
}
