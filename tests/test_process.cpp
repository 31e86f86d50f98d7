// The real manager program: first start, single instance, ports for a serial
// program (pyserial), and the orderly end on SIGTERM.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "support/BridgeFixture.h"
#include "app/SingleInstance.h"
#include "support/ManagerProcess.h"

namespace {
const char DEFAULT_BYTES[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<VSPConfig>\r\n"
    "<Sys udpport=\"21012\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\" />\r\n</VSPConfig>";

std::string run(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[256];
    while (fgets(buf, sizeof buf, p)) out += buf;
    pclose(p);
    return out;
}
}  // namespace

TEST(Process, FirstStartWritesTheDefaultAndASecondCopyLeaves) {
    TempDir dir;
    ManagerProcess first(dir);
    first.start();
    ASSERT_TRUE(eventually([&] { return dir.read("Config.xml").size() == sizeof DEFAULT_BYTES - 1; }, 10000));
    EXPECT_EQ(dir.read("Config.xml"), DEFAULT_BYTES);
    TempDir other;
    ManagerProcess second(other);
    second.start();
    EXPECT_EQ(second.wait(5000), 255);  // at once, without a window
    const std::string said = second.log();
    EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
    EXPECT_NE(said.find("already running"), std::string::npos) << said;
    EXPECT_TRUE(first.running());
    EXPECT_EQ(first.terminate(), 0);
}

TEST(Process, PortsServeASerialProgramAndGoAwayOnSigterm) {
    TempDir dir;
    uint16_t port = freeUdpPort();
    dir.write("Config.xml", sysLine("udpport=\"" + std::to_string(port) + "\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"") +
                                portXml(3, 0, 1, dtuXml("P3")) + portXml(12, 0, 1, dtuXml("P12")) + "</VSPConfig>");
    ManagerProcess m(dir);
    m.start();
    ASSERT_TRUE(eventually([&] {
        return std::filesystem::exists(dir.file("ports/COM3")) && std::filesystem::exists(dir.file("ports/COM12"));
    }, 10000)) << m.log();
    // The DTU simulator as users run it, echoing what it gets.
    pid_t sim = fork();
    if (sim == 0) {
        std::string mgr = "127.0.0.1:" + std::to_string(port);
        execl(VSP_DTUSIM_BIN, "vsp-dtusim", "--id", "P12", "--manager", mgr.c_str(), "--echo", "--quiet",
              "--logon-every", "1", nullptr);
        _exit(127);
    }
    // pyserial writes through COM12; the simulated DTU echoes it back.
    const std::string script =
        "import serial, time\n"
        "s = serial.Serial('" + dir.file("ports/COM12") + "', 9600, timeout=0.2)\n"
        "got = b''\n"
        "for i in range(50):\n"
        "    s.write(b'ping')\n"
        "    got += s.read(64)\n"
        "    if b'ping' in got: break\n"
        "print('echo' if b'ping' in got else 'none')\n"
        "s.close()\n"
        "s = serial.Serial('" + dir.file("ports/COM3") + "', 9600, timeout=0.1)\n"
        "s.close()\n";
    dir.write("talk.py", script);  // not serial.py: that would hide the module
    EXPECT_EQ(run("/usr/bin/python3 " + dir.file("talk.py")), "echo\n");  // Debian's python3-serial
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    EXPECT_EQ(m.terminate(), 0) << m.log();
    EXPECT_FALSE(std::filesystem::exists(dir.file("ports/COM3")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("ports/COM12")));
}

// A start-up message box holds its own event loop; a stop signal there ends
// the manager, not just the box, with the ports closed and their links removed.
TEST(Process, StopSignalDuringAStartUpBoxEndsTheManager) {
    for (int sig : {SIGTERM, SIGINT}) {
        TempDir dir;
        dir.write("Config.xml", sysLine("udpport=\"" + std::to_string(freeUdpPort()) + "\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"") +
                                    portXml(3, 0, 1, dtuXml("123456789012345")) + "</VSPConfig>");
        ManagerProcess m(dir);
        m.start();
        // The box is up once its line is written; the port was opened before it.
        ASSERT_TRUE(eventually([&] { return m.log().find("Create dtu error, please check!") != std::string::npos; },
                               10000)) << m.log();
        ASSERT_TRUE(std::filesystem::exists(dir.file("ports/COM3")));
        EXPECT_EQ(m.terminate(10000, sig), 0) << sig << m.log();
        EXPECT_FALSE(std::filesystem::exists(dir.file("ports/COM3"))) << sig;
    }
}

TEST(Process, SimulatorsExplainThemselves) {
    for (const char* bin : {VSP_DTUSIM_BIN, VSP_RELAYSIM_BIN}) {
        EXPECT_NE(run(std::string(bin) + " --help").find("Usage: "), std::string::npos) << bin;
        EXPECT_NE(run(std::string(bin) + " --bogus 2>&1; echo rc=$?").find("rc=2"), std::string::npos) << bin;
    }
    EXPECT_NE(run(std::string(VSP_DTUSIM_BIN) + " --id 123456789012345 2>&1; echo rc=$?").find("rc=2"), std::string::npos);
}

TEST(SingleInstance, SecondCopyWakesTheHolder) {
    const std::string name = "vsp-test-instance-" + std::to_string(getpid());
    SingleInstance holder(name);
    ASSERT_TRUE(holder.acquired());
    std::string req;
    bool allowed = false;
    EXPECT_EQ(holder.takeRequest(req, allowed), -1);
    SingleInstance second(name);
    EXPECT_FALSE(second.acquired());
    EXPECT_TRUE(SingleInstance::request(name, "", nullptr));
    pollfd p{holder.fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    int c = holder.takeRequest(req, allowed);
    EXPECT_GE(c, 0);
    close(c);
    EXPECT_TRUE(req.empty());  // an empty request: show yourself
    EXPECT_TRUE(allowed);      // our own user
    EXPECT_EQ(holder.takeRequest(req, allowed), -1);
    EXPECT_FALSE(SingleInstance::request(name + "-nobody", "", nullptr));
}
