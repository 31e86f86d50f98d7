// vsp-dtusim: a DTU for tests and for users without hardware.
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "tools/DtuSim.h"

namespace {
std::atomic<bool> quit{false};

const char USAGE[] =
    "Usage: vsp-dtusim --id DEVNO [options]\n"
    "Simulates a GPRS DTU: logs on to a manager over UDP, forwards data both ways\n"
    "and answers management requests (state, configuration, restart).\n\n"
    "  --id DEVNO          device number (at most 14 characters), required\n"
    "  --manager A:PORT    the manager's address (default 127.0.0.1:21012)\n"
    "  --relay A:PORT      log on to a relay instead; it tells us where the manager is\n"
    "  --port N            local UDP port (default: any free port)\n"
    "  --logon-every N     repeat the logon every N seconds (default 30; 0: once)\n"
    "  --echo              send every data packet back as it came\n"
    "  --bare              data from the manager comes without the 16-byte header\n"
    "  --send-bare         send data without the header (the manager drops it; for testing)\n"
    "  --stdin             send what arrives on standard input as data\n"
    "  --send-file FILE    send the file's bytes as data after logging on\n"
    "  --quiet             do not write received data to standard output\n"
    "  --rssi N            signal strength in the state answer (default 20)\n"
    "  --baud N            baud rate of the kept configuration (default 9600)\n"
    "  --host TEXT         host address of the kept configuration\n"
    "  --maxlen N          maximum packet length of the kept configuration (default 1024)\n"
    "  --help              this text\n";

bool endpoint(const char* text, VDIPAddress& out) {
    if (!out.Parse(text)) {
        std::fprintf(stderr, "vsp-dtusim: '%s' is not an address of the form a.b.c.d:port\n", text);
        return false;
    }
    return true;
}
}  // namespace

int main(int argc, char** argv) {
    DtuSimOptions o;
    o.peer = VDIPAddress(127, 0, 0, 1, 21012);
    int logonEvery = 30;
    bool fromStdin = false, quiet = false, sendBare = false;
    std::string sendFile;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vsp-dtusim: %s needs a value\n%s", a.c_str(), USAGE);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (a == "--id") {
            o.devNo = next();
        } else if (a == "--manager" || a == "--relay") {
            if (!endpoint(next(), o.peer)) return 2;
        } else if (a == "--port") {
            o.bindPort = static_cast<uint16_t>(std::atoi(next()));
        } else if (a == "--logon-every") {
            logonEvery = std::atoi(next());
        } else if (a == "--echo") {
            o.echo = true;
        } else if (a == "--bare") {
            o.bareIn = true;
        } else if (a == "--send-bare") {
            sendBare = true;
        } else if (a == "--stdin") {
            fromStdin = true;
        } else if (a == "--send-file") {
            sendFile = next();
        } else if (a == "--quiet") {
            quiet = true;
        } else if (a == "--rssi") {
            o.rssi = static_cast<uint8_t>(std::atoi(next()));
        } else if (a == "--baud") {
            o.baudRate = static_cast<uint32_t>(std::strtoul(next(), nullptr, 10));
        } else if (a == "--host") {
            o.hostAddr = next();
        } else if (a == "--maxlen") {
            o.maxPacketLen = static_cast<uint16_t>(std::atoi(next()));
        } else {
            std::fprintf(stderr, "vsp-dtusim: unknown option %s\n%s", a.c_str(), USAGE);
            return 2;
        }
    }
    if (o.devNo.empty() || o.devNo.size() > 14) {
        std::fprintf(stderr, "vsp-dtusim: --id takes a device number of 1 to 14 characters\n%s", USAGE);
        return 2;
    }
    std::signal(SIGINT, [](int) { quit = true; });
    std::signal(SIGTERM, [](int) { quit = true; });

    DtuSim sim(o);
    if (!quiet)
        sim.onData = [](const uint8_t* p, size_t n) {
            std::fwrite(p, 1, n, stdout);
            std::fflush(stdout);
        };
    if (!sim.start()) {
        std::fprintf(stderr, "vsp-dtusim: cannot bind UDP port %u\n", o.bindPort);
        return 1;
    }
    std::fprintf(stderr, "vsp-dtusim: %s on UDP port %u, logging on to %s\n", o.devNo.c_str(), sim.localPort(),
                 o.peer.ToText().c_str());
    sim.logon();
    if (!sendFile.empty()) {
        std::ifstream f(sendFile, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (!f && !f.eof()) {
            std::fprintf(stderr, "vsp-dtusim: cannot read %s\n", sendFile.c_str());
            return 1;
        }
        usleep(200 * 1000);  // let the logon arrive first
        sim.sendData(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), !sendBare);
    }
    int sinceLogon = 0;
    bool stdinOpen = fromStdin;
    while (!quit) {
        pollfd p{stdinOpen ? 0 : -1, POLLIN, 0};
        if (poll(&p, 1, 100) > 0 && (p.revents & (POLLIN | POLLHUP))) {
            uint8_t buf[1024];
            ssize_t n = read(0, buf, sizeof buf);
            if (n > 0)
                sim.sendData(buf, static_cast<size_t>(n), !sendBare);
            else
                stdinOpen = false;
        }
        if (logonEvery > 0 && (sinceLogon += 100) >= logonEvery * 1000) {
            sim.logon();
            sinceLogon = 0;
        }
    }
    return 0;
}
