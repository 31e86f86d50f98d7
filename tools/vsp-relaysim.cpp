// vsp-relaysim: a relay server for tests and for users.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/RelaySim.h"

namespace {
std::atomic<bool> quit{false};

const char USAGE[] =
    "Usage: vsp-relaysim --port N --user NAME --password PWD [options]\n"
    "A relay server for the manager's Fast Relay and Relay modes, over UDP and TCP on one port.\n"
    "DTUs (vsp-dtusim --relay) log on to it; the manager logs on with the user and password.\n\n"
    "  --port N          UDP and TCP port (default 21012)\n"
    "  --bind A.B.C.D    local address (default 0.0.0.0)\n"
    "  --user NAME       user name the manager must give (default empty)\n"
    "  --password PWD    password the manager must give (default empty)\n"
    "  --version N       server version in logon answers (default 1; above 256 the manager refuses)\n"
    "  --keepalive N     keep-alive value in logon answers (default 70; 0 leaves logons unanswered)\n"
    "  --no-push         answer queries only; do not report DTU logons at once\n"
    "  --verbose         log every manager packet to standard error\n"
    "  --help            this text\n";
}  // namespace

int main(int argc, char** argv) {
    RelaySimOptions o;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "vsp-relaysim: %s needs a value\n%s", a.c_str(), USAGE);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help") {
            std::fputs(USAGE, stdout);
            return 0;
        } else if (a == "--port") {
            o.port = static_cast<uint16_t>(std::atoi(next()));
        } else if (a == "--bind") {
            o.bindIp = next();
        } else if (a == "--user") {
            o.user = next();
        } else if (a == "--password") {
            o.password = next();
        } else if (a == "--version") {
            o.version = static_cast<uint16_t>(std::atoi(next()));
        } else if (a == "--keepalive") {
            o.keepAlive = static_cast<uint16_t>(std::atoi(next()));
        } else if (a == "--no-push") {
            o.pushStates = false;
        } else if (a == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr, "vsp-relaysim: unknown option %s\n%s", a.c_str(), USAGE);
            return 2;
        }
    }
    std::signal(SIGINT, [](int) { quit = true; });
    std::signal(SIGTERM, [](int) { quit = true; });
    RelaySim relay(o);
    relay.verbose = verbose;
    if (!relay.start()) {
        std::fprintf(stderr, "vsp-relaysim: cannot listen on %s:%u\n", o.bindIp.c_str(), o.port);
        return 1;
    }
    std::fprintf(stderr, "vsp-relaysim: listening on %s:%u (UDP and TCP)\n", o.bindIp.c_str(), o.port);
    while (!quit) usleep(100 * 1000);
    return 0;
}
