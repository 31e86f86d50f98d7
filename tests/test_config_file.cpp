// Config.xml as a file on disk: what may stand at its name, and how a save
// keeps a link, the file's mode and owner, and works in a folder we may not write.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/TestSupport.h"

namespace {
const std::string CONFIG = sysLine(DIRECT_SYS) + "</VSPConfig>";
const uid_t NOBODY = 65534;

struct stat statOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st;
}

// Loads, changes the user name and saves, as the file's own program would.
bool changeAndSave(const std::string& file, const char* user) {
    ConfigStore store(file);
    if (store.load() != LoadResult::Loaded) return false;
    setAttr(store.sysNode(), "usr", user);
    return store.save();
}

// Runs `body` in a child as user `nobody` (when we are root, who may write
// anywhere); its result is the child's exit status.
bool asNobody(const std::function<bool()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(NOBODY) != 0 || setuid(NOBODY) != 0)) _exit(2);
        _exit(body() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
}  // namespace

// Whatever stands at the name but a regular file (or a link to one) is refused
// with the load message, and nothing blocks on it.
TEST(ConfigFile, AnythingButARegularFileIsRefused) {
    using Make = std::function<void(const TempDir&)>;
    const std::vector<std::pair<const char*, Make>> cases = {
        {"directory", [](const TempDir& d) { std::filesystem::create_directory(d.file("Config.xml")); }},
        {"link to a directory", [](const TempDir& d) { symlink(d.path.c_str(), d.file("Config.xml").c_str()); }},
        {"FIFO", [](const TempDir& d) { mkfifo(d.file("Config.xml").c_str(), 0644); }},
        {"link to a device", [](const TempDir& d) { symlink("/dev/zero", d.file("Config.xml").c_str()); }},
    };
    for (const auto& [what, make] : cases) {
        CoreFixture f;
        make(f.dir);
        testing::internal::CaptureStderr();
        EXPECT_EQ(f.core->loadConfig(), LoadResult::CannotParse) << what;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("Config.xml: open: "), std::string::npos) << what;
        EXPECT_EQ(f.msgs.texts(), std::vector<std::string>{"Can't load config.xml, please check!"}) << what;
        EXPECT_TRUE(f.core->terminateRequested) << what;
    }
}

TEST(ConfigFile, SaveGoesThroughALinkAndKeepsModeAndOwner) {
    TempDir dir;
    std::filesystem::create_directory(dir.file("real"));
    dir.write("real/Config.xml", CONFIG);
    chmod(dir.file("real/Config.xml").c_str(), 0640);
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(dir.file("real/Config.xml").c_str(), 1234, 4321), 0);
    }
    ASSERT_EQ(symlink("real/Config.xml", dir.file("Config.xml").c_str()), 0);
    ASSERT_TRUE(changeAndSave(dir.file("Config.xml"), "linked"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("Config.xml")));
    EXPECT_NE(dir.read("real/Config.xml").find("usr=\"linked\""), std::string::npos);
    const struct stat st = statOf(dir.file("real/Config.xml"));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 4321u);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("real/Config.xml.tmp")));
}

// Where no new file can be made beside it, or its owner could not be kept,
// the file is written in place and keeps its owner.
TEST(ConfigFile, FileWrittenInPlaceWhereNoNewFileWillDo) {
    struct Case {
        const char* what;
        mode_t folderMode;
        uid_t fileOwner;  // nobody, or root where nobody may not give the file away
    };
    for (const Case& c : {Case{"read-only folder", 0555, NOBODY}, Case{"file of another owner", 0777, 0}}) {
        if (c.fileOwner == 0 && geteuid() != 0) continue;  // needs a second user
        TempDir dir;
        dir.write("Config.xml", CONFIG);
        chmod(dir.file("Config.xml").c_str(), 0666);
        if (geteuid() == 0) {
            ASSERT_EQ(chown(dir.path.c_str(), NOBODY, NOBODY), 0);
            ASSERT_EQ(chown(dir.file("Config.xml").c_str(), c.fileOwner, c.fileOwner), 0);
        }
        chmod(dir.path.c_str(), c.folderMode);
        const ino_t inode = statOf(dir.file("Config.xml")).st_ino;
        EXPECT_TRUE(asNobody([&] { return changeAndSave(dir.file("Config.xml"), "in-place"); })) << c.what;
        chmod(dir.path.c_str(), 0755);
        EXPECT_NE(dir.read("Config.xml").find("usr=\"in-place\""), std::string::npos) << c.what;
        EXPECT_EQ(statOf(dir.file("Config.xml")).st_ino, inode) << c.what;
        if (geteuid() == 0) {
            EXPECT_EQ(statOf(dir.file("Config.xml")).st_uid, c.fileOwner) << c.what;
        }
        EXPECT_FALSE(std::filesystem::exists(dir.file("Config.xml.tmp"))) << c.what;
    }
}

TEST(ConfigFile, StaleTemporaryFileIsRemovedAtStart) {
    CoreFixture f(CONFIG);
    f.dir.write("Config.xml.tmp", "<half");
    ASSERT_TRUE(f.load());
    EXPECT_FALSE(std::filesystem::exists(f.dir.file("Config.xml.tmp")));
}
