// The manager as a service: without any display, in a folder of its choice,
// its ports open to a group, and driven from the shell.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

#include "support/BridgeFixture.h"
#include "support/ManagerProcess.h"

namespace {
// Runs a shell command line; its standard output and exit status.
std::pair<std::string, int> shell(const std::string& cmd) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    int status = pclose(p);
    return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

// What an ordinary service gets: no display of any kind.
void noDisplay() {
    for (const char* v : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(v);
}

struct Service {
    explicit Service(const std::string& ports, std::vector<std::string> extra = {})
        : udpPort(freeUdpPort()), manager(dir) {
        data.write("Config.xml", sysLine("udpport=\"" + std::to_string(udpPort) +
                                         "\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"") +
                                     ports + "</VSPConfig>");
        extra.insert(extra.begin(), {"--dir", data.path});
        manager.start("", extra, noDisplay);
        started = eventually([&] { return manager.out().find("vsp-manager: folder") != std::string::npos; }, 10000);
    }
    // `vsp-manager ARGS` as a user types it; "2>&1" keeps its messages.
    std::pair<std::string, int> command(const std::string& args) {
        return shell(std::string(VSP_MANAGER_BIN) + " " + args + " 2>&1");
    }
    // Logs the DTU on until `list` shows it on line on COM3.
    bool onLine(DtuSim& d, const std::string& devNo) {
        return eventually([&] {
            d.logon();
            return command("list").first.find("COM3\t" + devNo + "\tyes") != std::string::npos;
        }, 5000);
    }
    DtuSim& dtu(const std::string& devNo, uint8_t rssi = 20) {
        DtuSimOptions o;
        o.devNo = devNo;
        o.peer = VDIPAddress(127, 0, 0, 1, udpPort);
        o.echo = true;
        o.rssi = rssi;
        sims.push_back(std::make_unique<DtuSim>(o));
        sims.back()->start();
        return *sims.back();
    }
    TempDir dir, data;
    uint16_t udpPort;
    ManagerProcess manager;
    bool started = false;
    std::vector<std::unique_ptr<DtuSim>> sims;
};
}  // namespace

TEST(Service, WithoutADisplayItBridgesAndEndsOnSigterm) {
    Service s(portXml(3, 0, 1, dtuXml("H1")));
    ASSERT_TRUE(s.started) << s.manager.log();
    // The folder and each port's path, for the user's serial program.
    EXPECT_NE(s.manager.out().find("COM3: " + s.data.file("ports/COM3")), std::string::npos) << s.manager.out();
    DtuSim& d = s.dtu("H1");
    auto prog = std::make_unique<SerialProgram>(s.data.file("ports/COM3"));
    ASSERT_TRUE(s.onLine(d, "H1"));
    prog->write("to the DTU and back");
    EXPECT_EQ(prog->read(19), "to the DTU and back");
    prog.reset();
    EXPECT_EQ(s.manager.terminate(), 0);
    EXPECT_FALSE(std::filesystem::exists(s.data.file("ports/COM3")));
}

TEST(Service, CommandsFromTheShell) {
    std::string com3 = portXml(3, 0, 1, dtuXml("C1"));
    com3.insert(com3.find(" cmt="), " linegap=\"1\"");
    Service s(com3);
    ASSERT_TRUE(s.started) << s.manager.log();
    auto [list, rc] = s.command("list");
    EXPECT_EQ(rc, 0);
    EXPECT_NE(list.find("COM3\tC1\tno\t0.0.0.0:0"), std::string::npos) << list;  // not on line yet
    EXPECT_EQ(list.substr(0, list.find('\n')).substr(list.find("SELECTED")), "SELECTED\tLINE GAP\tDROPPED");
    EXPECT_EQ(list.substr(list.size() - 11), "\tyes\tyes\t0\n") << list;  // selected; bursts at line speed; no drops
    EXPECT_NE(s.command("list --json").first.find("\"selected\": true, \"lineGap\": true, \"dropped\": 0}"),
              std::string::npos);
    DtuSim& d = s.dtu("C1", 77);
    ASSERT_TRUE(eventually([&] {
        d.logon();
        return s.command("list --json").first.find("\"device\": \"C1\", \"online\": true") != std::string::npos;
    }, 5000));

    EXPECT_EQ(s.command("state C1"), std::make_pair(std::string("RSSI 77\n"), 0));
    EXPECT_EQ(s.command("restart C1").second, 0);
    EXPECT_TRUE(eventually([&] { return d.restarts() == 1; }));

    EXPECT_EQ(s.command("create COM5 N5 --comment 'from the shell'").second, 0);
    EXPECT_TRUE(std::filesystem::exists(s.data.file("ports/COM5")));
    std::string cfg = s.data.read("Config.xml");
    EXPECT_NE(cfg.find("id=\"N5\""), std::string::npos);
    EXPECT_NE(cfg.find("cmt=\"from the shell\""), std::string::npos);
    EXPECT_EQ(s.command("deselect N5").second, 0);
    EXPECT_EQ(s.command("save-select").second, 0);
    EXPECT_NE(s.data.read("Config.xml").find("id=\"N5\" ip=\"\" cmt=\"from the shell\" devids=\"\" sel=\"0\""),
              std::string::npos);
    EXPECT_EQ(s.command("delete N5").second, 0);
    EXPECT_FALSE(std::filesystem::exists(s.data.file("ports/COM5")));
    EXPECT_EQ(s.data.read("Config.xml").find("N5"), std::string::npos);

    // The window's messages, as lines and a failure status.
    EXPECT_EQ(s.command("create COM6 123456789012345"), std::make_pair(std::string("Create dtu error, please check!\n"), 1));
    EXPECT_EQ(s.command("delete NOBODY"), std::make_pair(std::string("no DTU NOBODY\n"), 1));
    EXPECT_EQ(s.command("create COM300 X").second, 2);
    EXPECT_NE(s.command("state --help").first.find("usage: vsp-manager"), std::string::npos);

    TempDir wine;
    auto [mapped, mrc] = s.command("wine-map " + wine.path);
    EXPECT_EQ(mrc, 0) << mapped;
    char target[PATH_MAX] = {};
    ASSERT_GT(readlink(wine.file("dosdevices/com3").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), s.data.file("ports/COM3"));
    EXPECT_EQ(s.manager.terminate(), 0);
}

TEST(Service, WhatASlowProgramHadNoRoomForIsCountedInList) {
    TempDir logDir;
    const std::string serialLog = logDir.file("serial.log");
    Service s(portXml(3, 0, 1, dtuXml("S1")), {"--serial-log", serialLog});
    ASSERT_TRUE(s.started) << s.manager.log();
    DtuSim& d = s.dtu("S1");
    auto prog = std::make_unique<SerialProgram>(s.data.file("ports/COM3"));
    ASSERT_TRUE(s.onLine(d, "S1"));
    // 6 MB while the program reads nothing: past the port's 4 MiB queue.
    const std::string chunk(1000, 'x');
    for (int i = 0; i < 6000; ++i) {
        d.sendData(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
        if (i % 500 == 499) std::this_thread::sleep_for(std::chrono::milliseconds(5));  // no loss at the socket
    }
    // Read until the count stops growing: every datagram has been dealt with.
    uint64_t dropped = 0;
    ASSERT_TRUE(eventually([&] {
        std::string row = s.command("list").first;
        uint64_t now = std::strtoull(row.substr(row.rfind('\t', row.size() - 2) + 1).c_str(), nullptr, 10);
        bool settled = now > 0 && now == dropped;
        dropped = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return settled;
    }, 8000));
    EXPECT_EQ(dropped % 1000, 0u);  // whole datagrams only
    // The program reads: the burst of drops ends with one line saying how much.
    std::string got = prog->read(8u << 20, 1500);
    EXPECT_EQ(got.size() % 1000, 0u);
    EXPECT_TRUE(eventually([&] { return s.manager.log().find("datagrams (") != std::string::npos; }));
    EXPECT_NE(s.manager.log().find("datagrams (" + std::to_string(dropped) + " bytes) from its DTUs dropped"),
              std::string::npos) << s.manager.log();
    prog.reset();
    EXPECT_EQ(s.manager.terminate(), 0);
    // The serial log shows what the program was given, not what was dropped.
    std::ifstream log(serialLog);
    std::string line;
    size_t given = 0;
    while (std::getline(log, line)) {
        const size_t at = line.find(" COM3 rx ");
        if (at != std::string::npos) given += (line.size() - at - 8) / 3;
    }
    EXPECT_EQ(given, got.size());
}

TEST(Service, AnotherUserIsRefusedAndNoManagerIsSaid) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    Service s(portXml(3, 0, 1, dtuXml("U1")));
    ASSERT_TRUE(s.started) << s.manager.log();
    auto [said, rc] = shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + std::string(VSP_MANAGER_BIN) +
                            " list 2>&1");
    EXPECT_EQ(rc, 77) << said;
    EXPECT_NE(said.find("only the manager's own user"), std::string::npos) << said;
    EXPECT_EQ(s.manager.terminate(), 0);
    auto [none, nrc] = s.command("list");
    EXPECT_EQ(nrc, 1);
    EXPECT_EQ(none, "vsp-manager: no manager is running\n");
}

TEST(Service, PortsForAGroupAndTheUsersFolderWhenTheProgramsIsReadOnly) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    {
        Service s(portXml(4, 0, 1, dtuXml("G1")), {"--port-group", "dialout", "--port-mode", "0660"});
        ASSERT_TRUE(s.started) << s.manager.log();
        struct stat st{};
        ASSERT_EQ(stat(s.data.file("ports/COM4").c_str(), &st), 0);
        EXPECT_EQ(st.st_gid, dialout->gr_gid);
        EXPECT_EQ(st.st_mode & 07777, 0660u);
        EXPECT_EQ(s.manager.terminate(), 0);
    }
    // Installed where the user cannot write: the data go to $XDG_DATA_HOME.
    TempDir install, home;
    ASSERT_EQ(chmod(install.path.c_str(), 0755), 0);
    ASSERT_EQ(chown(home.path.c_str(), 65534, 65534), 0);
    ManagerProcess m(install);
    ASSERT_EQ(chmod(install.file("vsp-manager").c_str(), 0755), 0);
    m.start("", {"--headless"}, [&] {
        setenv("XDG_DATA_HOME", home.path.c_str(), 1);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
    });
    EXPECT_TRUE(eventually([&] { return m.out().find("vsp-manager: folder " + home.file("vsp-manager")) != std::string::npos; },
                           10000))
        << m.log();
    EXPECT_TRUE(std::filesystem::exists(home.file("vsp-manager/Config.xml")));
    EXPECT_FALSE(std::filesystem::exists(install.file("Config.xml")));
    EXPECT_EQ(m.terminate(), 0);
}
