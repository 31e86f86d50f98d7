#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <pugixml.hpp>

#include "support/TestSupport.h"

namespace {
const char DEFAULT_BYTES[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<VSPConfig>\r\n"
    "<Sys udpport=\"21012\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\" />\r\n</VSPConfig>";

std::string withSys(const std::string& attrs, const std::string& rest = "") {
    return sysLine(attrs) + rest + "</VSPConfig>";
}
}  // namespace

TEST(Config, MissingFileIsCreatedByteForByte) {
    CoreFixture f;
    ASSERT_TRUE(f.load());
    EXPECT_EQ(f.dir.read("Config.xml"), DEFAULT_BYTES);
    EXPECT_EQ(f.core->net().udpPort, 21012);
    EXPECT_EQ(f.core->net().netMode, 0);
    EXPECT_TRUE(f.msgs.shown.empty());
}

TEST(Config, UnparsableAndUncreatableFiles) {
    {
        CoreFixture f("<VSPConfig><Sys");
        EXPECT_EQ(f.core->loadConfig(), LoadResult::CannotParse);
        EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"Can't load config.xml, please check!"});
        EXPECT_EQ(f.msgs.shown[0].caption, "Error");
        EXPECT_TRUE(f.core->terminateRequested);
    }
    {
        FakeMessages msgs;
        FakeClock clock;
        ManagerOptions o;
        o.cfgFileName = "/nonexistent-dir/Config.xml";
        Manager m(msgs, clock, o);
        testing::internal::CaptureStderr();
        EXPECT_EQ(m.loadConfig(), LoadResult::CannotCreate);
        // The cause goes to stderr beside the message: the call and its reason.
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "/nonexistent-dir/Config.xml: open: No such file or directory\n");
        EXPECT_EQ(msgs.texts(), std::vector<std::string>{"Can't load config.xml, please check!"});
    }
}

struct SysCase {
    const char* attrs;
    const char* message;  // "" when the settings load
    int udp, tcp, mode;
};

class SysTable : public ::testing::TestWithParam<SysCase> {};

TEST_P(SysTable, ReadSettings) {
    const SysCase& c = GetParam();
    CoreFixture f(withSys(c.attrs));
    ASSERT_EQ(f.core->loadConfig(), LoadResult::Loaded);
    bool ok = f.core->readSettings();
    if (*c.message) {
        EXPECT_FALSE(ok);
        ASSERT_EQ(f.msgs.shown.size(), 1u) << c.attrs;
        EXPECT_EQ(f.msgs.shown[0].text, c.message) << c.attrs;
        EXPECT_EQ(f.msgs.shown[0].caption, "Error");
        EXPECT_TRUE(f.core->terminateRequested);
    } else {
        EXPECT_TRUE(ok) << c.attrs;
        EXPECT_TRUE(f.msgs.shown.empty()) << c.attrs;
        EXPECT_EQ(f.core->net().udpPort, c.udp);
        EXPECT_EQ(f.core->net().tcpPort, c.tcp);
        EXPECT_EQ(f.core->net().netMode, c.mode);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Settings, SysTable,
    ::testing::Values(
        SysCase{"udpport=\"21012\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"", "", 21012, 0, 0},
        SysCase{"udpport=\"0\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"", "Config.xml udpport value error, please check!", 0, 0, 0},
        SysCase{"udpport=\"\" tcpport=\"5000\" mode=\"2\" usr=\"\" pwd=\"\"", "", 0, 5000, 2},
        SysCase{"udpport=\"65536\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"", "Config.xml udpport value error, please check!", 0, 0, 0},
        SysCase{"udpport=\"65535\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"", "", 65535, 0, 0},
        SysCase{"udpport=\"-5\" tcpport=\"7\" mode=\"0\" usr=\"\" pwd=\"\"", "", 0, 7, 0},
        SysCase{"udpport=\"1\" tcpport=\"70000\" mode=\"0\" usr=\"\" pwd=\"\"", "Config.xml tcpport value error, please check!", 0, 0, 0},
        SysCase{"udpport=\"\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\"", "Config.xml port value error, please check!", 0, 0, 0},
        SysCase{"udpport=\"9\" tcpport=\"\" mode=\"x\" usr=\"\" pwd=\"\"", "", 9, 0, 0},
        SysCase{"udpport=\"9\" tcpport=\"\" mode=\"3\" usr=\"\" pwd=\"\"", "Config.xml value error, please check!", 0, 0, 0},
        SysCase{"udpport=\"9\" tcpport=\"\" mode=\"1\" usr=\"\"", "Config.xml value error, please check!", 0, 0, 0},
        SysCase{"udpport=\"0\" tcpport=\"\" mode=\"1\" usr=\"\"", "Config.xml udpport value error, please check!", 0, 0, 0}));

TEST(Config, MissingSysAndTitle) {
    {
        CoreFixture f("<?xml version=\"1.0\"?><VSPConfig></VSPConfig>");
        ASSERT_EQ(f.core->loadConfig(), LoadResult::Loaded);
        EXPECT_FALSE(f.core->readSettings());
        EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"Config.xml value error, please check!"});
    }
    for (auto [title, caption] : {std::pair{"title=\"Plant 4\"", "Plant 4"},
                                  std::pair{"title=\"\"", "Vardo Mobile Virtual Serial Port Manager"}}) {
        CoreFixture f(withSys(std::string(DIRECT_SYS) + " " + title));
        ASSERT_TRUE(f.load());
        EXPECT_EQ(f.core->caption, caption);
    }
}

TEST(Config, PortsLoadInFileOrderWithFormatErrors) {
    CoreFixture f(withSys(DIRECT_SYS,
                          "<CommPort port=\"12\" netproto=\"0\" appproto=\"1\" serproto=\"2\" cmt=\"\">\r\n"
                          "<DTU id=\"K1\" ip=\"10.0.0.5:5000\" cmt=\"roof\" devids=\"3,1\" sel=\"1\"/>\r\n"
                          "<Note/>\r\n<!-- a remark -->\r\n"
                          "<DTU id=\"K2\" ip=\"\" cmt=\"\" devids=\"x\"/>\r\n<Other/>\r\n"
                          "</CommPort>\r\n"
                          "<CommPort port=\"3\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\">"
                          "<DTU id=\"U1\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/><DTU id=\"U2\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/>"
                          "</CommPort>\r\n"
                          "<CommPort port=\"12\" netproto=\"0\" appproto=\"0\" serproto=\"0\" cmt=\"\">"
                          "<DTU id=\"K3\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/></CommPort>\r\n"));
    ASSERT_TRUE(f.load());
    // Once per child that is not a DTU element, the comment included.
    EXPECT_EQ(f.msgs.texts(), (std::vector<std::string>{"Config.xml format error, please check!",
                                                       "Config.xml format error, please check!",
                                                       "Config.xml format error, please check!"}));
    std::vector<std::string> order;
    for (Row* r : f.rows()) order.push_back(r->caption);
    EXPECT_EQ(order, (std::vector<std::string>{"K1", "K2", "U1", "U2", "K3"}));
    EXPECT_EQ(f.row("K1")->cells[ColController], "3,1");
    EXPECT_EQ(f.row("K1")->cells[ColOn], ON_MARK);
    EXPECT_EQ(f.row("K1")->cells[ColComment], "roof");
    EXPECT_EQ(f.row("K2")->cells[ColController], "");
    EXPECT_FALSE(f.row("K2")->checked);  // no sel attribute
    EXPECT_TRUE(f.row("U1")->checked);
    EXPECT_FALSE(f.row("U2")->checked);  // Unknow: one only
    EXPECT_EQ(f.row("K3")->groupId, 12);  // joined the earlier port, which keeps Kestrel
    EXPECT_EQ(f.core->portSerProto(12), 2u);
    EXPECT_TRUE(f.row("K3")->checked);
    EXPECT_EQ(f.row("K3")->cells[ColController], "");  // Kestrel port, no LED numbers
}

struct PortCase {
    const char* attrs;
};
class BadPortTable : public ::testing::TestWithParam<PortCase> {};

TEST_P(BadPortTable, StopsStartUpAfterEarlierPorts) {
    CoreFixture f(withSys(DIRECT_SYS,
                          "<CommPort port=\"2\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\">"
                          "<DTU id=\"OK\" ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/></CommPort>"
                          "<CommPort " + std::string(GetParam().attrs) + "><DTU id=\"BAD\" ip=\"\" cmt=\"\" devids=\"\"/></CommPort>"
                          "<CommPort port=\"4\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\">"
                          "<DTU id=\"LATE\" ip=\"\" cmt=\"\" devids=\"\"/></CommPort>"));
    ASSERT_EQ(f.core->loadConfig(), LoadResult::Loaded);
    ASSERT_TRUE(f.core->readSettings());
    EXPECT_FALSE(f.core->readPorts());
    EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"Config.xml value error, please check!"});
    EXPECT_TRUE(f.core->terminateRequested);
    EXPECT_NE(f.row("OK"), nullptr);
    EXPECT_EQ(f.row("BAD"), nullptr);
    EXPECT_EQ(f.row("LATE"), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Values, BadPortTable,
    ::testing::Values(PortCase{"port=\"0\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\""},
                      PortCase{"port=\"255\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\""},
                      PortCase{"port=\"256\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\""},
                      PortCase{"port=\"x\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\""},
                      PortCase{"port=\"5\" netproto=\"3\" appproto=\"1\" serproto=\"0\" cmt=\"\""},
                      PortCase{"port=\"5\" netproto=\"0\" appproto=\"-1\" serproto=\"0\" cmt=\"\""},
                      PortCase{"port=\"5\" netproto=\"0\" appproto=\"1\" serproto=\"5\" cmt=\"\""},
                      PortCase{"port=\"5\" appproto=\"1\" serproto=\"0\" cmt=\"\""}));

TEST(Config, PortThatCannotBeMadeReportsEachDtu) {
    const std::string ports =
        "<CommPort port=\"2\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\">"
        "<DTU id=\"A\" ip=\"\" cmt=\"\" devids=\"\"/><DTU id=\"B\" ip=\"\" cmt=\"\" devids=\"\"/></CommPort>";
    CoreFixture f(withSys(DIRECT_SYS, ports));
    f.failCreate = true;
    EXPECT_TRUE(f.load());
    EXPECT_EQ(f.msgs.texts(), (std::vector<std::string>{"Create port error, please check!",
                                                       "Create dtu error, please check!",
                                                       "Create dtu error, please check!"}));
    EXPECT_FALSE(f.core->terminateRequested);
    EXPECT_TRUE(f.rows().empty());
}

TEST(Config, OverlongDeviceNumberInFileIsReported) {
    CoreFixture f(withSys(DIRECT_SYS,
                          "<CommPort port=\"3\" netproto=\"0\" appproto=\"1\" serproto=\"0\" cmt=\"\">"
                          "<DTU id=\"NUMBER-OF-15-CH\" ip=\"\" cmt=\"\" devids=\"\"/>"
                          "<DTU id=\"NUMBER-OF-14-C\" ip=\"\" cmt=\"\" devids=\"\"/></CommPort>"));
    EXPECT_TRUE(f.load());
    EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"Create dtu error, please check!"});
    ASSERT_EQ(f.rows().size(), 1u);
    EXPECT_EQ(f.rows()[0]->caption, "NUMBER-OF-14-C");
}

TEST(Config, SavingNeverLeavesABrokenFile) {
    // A child saves in a loop and is killed at random moments; the file must
    // parse every time.
    TempDir dir;
    {
        CoreFixture first;
        ConfigStore store(dir.file("Config.xml"));
        ASSERT_EQ(store.load(), LoadResult::Loaded);  // the default file exists before the first kill
    }
    for (int round = 0; round < 20; ++round) {
        pid_t pid = fork();
        if (pid == 0) {
            FakeMessages msgs;
            FakeClock clock;
            ManagerOptions o;
            o.cfgFileName = dir.file("Config.xml");
            o.makePort = [] { return std::make_shared<FakePort>(); };
            Manager m(msgs, clock, o);
            if (m.loadConfig() != LoadResult::Loaded || !m.readSettings()) _exit(3);
            for (int i = 0;; ++i) {
                m.btnCreatePortDtuClick("D" + std::to_string(i % 5000), 1 + i % 9, std::string(200, 'c'));
            }
        }
        usleep(static_cast<useconds_t>(2000 + (round * 7919) % 20000));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(dir.file("Config.xml").c_str())) << "round " << round;
        ASSERT_TRUE(doc.document_element().child("Sys")) << "round " << round;
    }
}

TEST(Config, SaveFailureIsReportedAndEndsTheProgram) {
    CoreFixture f;
    ASSERT_TRUE(f.load());
    std::filesystem::remove(f.dir.file("Config.xml"));
    std::filesystem::create_directory(f.dir.file("Config.xml"));  // nothing can be renamed over it
    EXPECT_FALSE(f.core->saveConfig());
    ASSERT_EQ(f.msgs.shown.size(), 1u);
    EXPECT_EQ(f.msgs.shown[0].text, "Can not write config.xml, please check!");
    EXPECT_EQ(f.msgs.shown[0].caption, "Error");
    EXPECT_EQ(f.msgs.shown[0].icon, MsgIcon::Error);
    EXPECT_TRUE(f.core->terminateRequested);
    EXPECT_FALSE(std::filesystem::exists(f.dir.file("Config.xml.tmp")));
}

TEST(Config, DefaultThatCannotBeWrittenIsReported) {
    CoreFixture f;
    // No file may grow here: the new file is made, but writing fails.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit none = old;
    none.rlim_cur = 0;
    signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &none);
    // Standard error into a pipe: a captured file could not grow either.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    int savedErr = dup(2);
    dup2(pipeFds[1], 2);
    LoadResult r = f.core->loadConfig();
    dup2(savedErr, 2);
    close(savedErr);
    close(pipeFds[1]);
    setrlimit(RLIMIT_FSIZE, &old);
    char said[512] = {};
    (void)!read(pipeFds[0], said, sizeof said - 1);
    close(pipeFds[0]);
    EXPECT_EQ(r, LoadResult::CannotWrite);
    EXPECT_NE(std::string(said).find("Config.xml: write: File too large"), std::string::npos) << said;
    EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"Can't write config.xml, please check!"});
    EXPECT_EQ(f.msgs.shown[0].caption, "Error");
    EXPECT_TRUE(f.core->terminateRequested);
}

TEST(Config, DtuWithoutNumberIsAValueError) {
    CoreFixture f(withSys(DIRECT_SYS,
                          "<CommPort port=\"3\" netproto=\"0\" appproto=\"1\" serproto=\"1\" cmt=\"\">"
                          "<DTU id=\"FIRST\" ip=\"\" cmt=\"\" devids=\"\"/>"
                          "<DTU ip=\"\" cmt=\"\" devids=\"\" sel=\"1\"/>"
                          "<DTU id=\"AFTER\" ip=\"\" cmt=\"\" devids=\"\"/></CommPort>"));
    ASSERT_EQ(f.core->loadConfig(), LoadResult::Loaded);
    ASSERT_TRUE(f.core->readSettings());
    EXPECT_FALSE(f.core->readPorts());
    EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"Config.xml value error, please check!"});
    EXPECT_TRUE(f.core->terminateRequested);
    ASSERT_EQ(f.rows().size(), 1u);
    EXPECT_EQ(f.rows()[0]->caption, "FIRST");
}

TEST(Config, FileInAnotherEncodingIsSavedAsUtf8AndSaysSo) {
    // "Müller" in ISO-8859-1: one byte for the u with umlaut.
    CoreFixture f("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\r\n<VSPConfig>\r\n<Sys " + std::string(DIRECT_SYS) +
                  " />\r\n<CommPort port=\"3\" netproto=\"0\" appproto=\"1\" serproto=\"1\" cmt=\"\">"
                  "<DTU id=\"A\" ip=\"\" cmt=\"M\xFCller\" devids=\"\"/></CommPort></VSPConfig>");
    ASSERT_TRUE(f.load());
    ASSERT_EQ(f.row("A")->cells[ColComment], "M\xC3\xBCller");
    f.core->saveSelection();
    const std::string saved = f.dir.read("Config.xml");
    EXPECT_EQ(saved.rfind("<?xml version=\"1.0\" encoding=\"utf-8\"?>", 0), 0u) << saved;
    EXPECT_NE(saved.find("cmt=\"M\xC3\xBCller\""), std::string::npos);
    CoreFixture again(saved);  // the next start reads it back unchanged
    ASSERT_TRUE(again.load());
    EXPECT_EQ(again.row("A")->cells[ColComment], "M\xC3\xBCller");
}
