#pragma once
// Two test hosts of our own on this machine: network namespaces joined by a
// veth pair. "manager" resolves the relay's name to the other host through
// /etc/netns/<name>/hosts, as `ip netns exec` lays it out.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

class TestNet {
public:
    TestNet() {
        const std::string id = std::to_string(getpid() % 100000);
        manager = "vspm" + id;
        relay = "vspr" + id;
        subnet = "10.231." + std::to_string(getpid() % 200 + 20);
        managerIp = subnet + ".1";
        relayIp = subnet + ".2";
        if (geteuid() != 0) {
            why = "not root";
            return;
        }
        const std::string va = "vspa" + id, vb = "vspb" + id;
        ok = sh("ip netns add " + manager) && sh("ip netns add " + relay) &&
             sh("ip link add " + va + " type veth peer name " + vb) && sh("ip link set " + va + " netns " + manager) &&
             sh("ip link set " + vb + " netns " + relay) &&
             sh("ip -n " + manager + " addr add " + managerIp + "/24 dev " + va) &&
             sh("ip -n " + relay + " addr add " + relayIp + "/24 dev " + vb) &&
             sh("ip -n " + manager + " link set " + va + " up") && sh("ip -n " + relay + " link set " + vb + " up") &&
             sh("ip -n " + manager + " link set lo up") && sh("ip -n " + relay + " link set lo up");
        if (!ok) {
            why = "ip netns or veth not available here";
            return;
        }
        std::filesystem::create_directories("/etc/netns/" + manager);
        std::ofstream("/etc/netns/" + manager + "/hosts") << "127.0.0.1 localhost\n" << relayIp << " vsp-relay\n";
    }
    ~TestNet() {
        sh("ip netns del " + manager + " 2>/dev/null");
        sh("ip netns del " + relay + " 2>/dev/null");
        std::filesystem::remove_all("/etc/netns/" + manager);
    }
    // Cuts the path between the hosts (packets vanish both ways, as on a
    // dead line: no error comes back) or mends it.
    void cut(bool on) {
        const std::string verb = on ? " route add blackhole " : " route del blackhole ";
        sh("ip -n " + manager + verb + relayIp + "/32");
        sh("ip -n " + relay + verb + managerIp + "/32");
    }
    // Runs `body` on a thread inside the namespace; threads it starts stay there.
    void inside(const std::string& ns, const std::function<void()>& body) {
        std::thread t([&] {
            int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0) body();
            if (fd >= 0) close(fd);
        });
        t.join();
    }
    bool ok = false;
    std::string why, manager, relay, subnet, managerIp, relayIp;

private:
    static bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }
};
