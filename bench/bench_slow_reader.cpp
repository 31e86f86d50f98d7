// A serial program that reads slower than its DTU sends: the DTU sends 2 MB
// at full speed in 1 KB datagrams; the program reads 256 bytes at a time and
// pauses 5 ms after every 4 KB. Every byte is checked in order. The same
// through socat: 2 MB of datagrams to its UDP side, read from its PTY.
// Usage: bench_slow_reader [megabytes]   (default 2)
#include <cstdio>
#include <string>
#include <vector>

#include "BenchSupport.h"

using namespace bench;

namespace {
constexpr size_t DATAGRAM = 1024;

// Byte i of the stream: the 32-bit word i/4, low byte first, so that a
// missing or repeated datagram shows at once.
uint8_t streamByte(size_t i) { return static_cast<uint8_t>((i / 4) >> (8 * (i % 4))); }

std::vector<uint8_t> chunk(size_t n) {
    std::vector<uint8_t> c(DATAGRAM);
    for (size_t i = 0; i < DATAGRAM; ++i) c[i] = streamByte(n * DATAGRAM + i);
    return c;
}

struct Result {
    size_t sent = 0, received = 0, intact = 0;  // intact: the longest correct start of the stream
    double seconds = 0;
};

// Reads slowly until `want` bytes came, or 2 s of silence after the sender is done.
void readSlowly(int fd, size_t want, const std::atomic<bool>& senderDone, Result& r) {
    const auto t0 = Steady::now();
    auto heard = t0;
    bool intact = true;
    size_t sincePause = 0;
    uint8_t buf[256];
    while (r.received < want && !(senderDone && secondsSince(heard) > 2.0)) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) continue;
        heard = Steady::now();
        for (ssize_t i = 0; i < n; ++i) {
            if (intact && buf[i] != streamByte(r.received)) intact = false;
            ++r.received;
            if (intact) r.intact = r.received;
        }
        if ((sincePause += static_cast<size_t>(n)) >= 4096) {
            sincePause = 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    r.seconds = secondsSince(t0);
}

// `send(chunk)` returns true when the datagram went.
template <class Send>
Result measure(int fd, size_t datagrams, Send send) {
    Result r;
    std::atomic<bool> done{false};
    std::thread sender([&] {
        for (size_t n = 0; n < datagrams; ++n)
            if (send(chunk(n))) r.sent += DATAGRAM;
        done = true;
    });
    readSlowly(fd, datagrams * DATAGRAM, done, r);
    sender.join();
    return r;
}

void print(const char* who, const Result& r) {
    std::printf("  %-7s sent %zu bytes, received %zu (%zu intact from the start), lost %lld, in %.1f s\n", who, r.sent,
                r.received, r.intact, static_cast<long long>(r.sent) - static_cast<long long>(r.received), r.seconds);
}
}  // namespace

int main(int argc, char** argv) {
    const size_t datagrams = static_cast<size_t>((argc > 1 ? std::atof(argv[1]) : 2.0) * 1024 * 1024) / DATAGRAM;

    OnePortManager m({"S1"});
    if (!m.start()) return 1;
    Fleet dtu(m.addr());
    dtu.logon({"S1"});
    int fd = openRaw(m.portPath());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // logged on, the port seen open
    std::vector<std::vector<uint8_t>> one(1);
    Result mgr = measure(fd, datagrams, [&](const std::vector<uint8_t>& c) {
        one[0] = encodeLinkPacket("S1", DtuData, c.data(), c.size());
        return dtu.send(one, 0, 1) == 1;
    });
    close(fd);
    m.manager.terminate();

    int peer = boundUdp(0);
    const uint16_t socatPort = freeUdpPort();
    Socat socat(m.dir.file("socat-pty"), boundPort(peer), socatPort);
    if (!socat.ready()) return 1;
    int sfd = openRaw(socat.link);
    sockaddr_in to = VDIPAddress(127, 0, 0, 1, socatPort).ToSockaddr();
    Result soc = measure(sfd, datagrams, [&](const std::vector<uint8_t>& c) {
        return sendto(peer, c.data(), c.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(c.size());
    });
    close(sfd);
    close(peer);

    std::printf("Slow reader: %zu datagrams of %zu bytes at full speed; read 256 bytes at a time, 5 ms pause per 4 KB\n",
                datagrams, DATAGRAM);
    print("manager", mgr);
    print("socat", soc);
    return 0;
}
