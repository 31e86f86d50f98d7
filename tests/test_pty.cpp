#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "support/TestSupport.h"
#include "vsp/PtyPort.h"

namespace {
struct PtyFixture : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(port.CreatePort("COM7")); }
    // Lets the port notice a program opening or closing it.
    void settle() { port.WaitInput(stop, 50); }
    int openPort(int flags = 0) {
        int fd = open(dir.file("ports/COM7").c_str(), O_RDWR | O_NOCTTY | flags);
        settle();
        return fd;
    }
    TempDir dir;
    PtyPort port{dir.file("ports")};
    VDEvent stop{true};
};

// Reads until `want` bytes came or `ms` passed (a short wait proves "nothing").
std::string readSome(int fd, size_t want, int ms = 2000) {
    std::string out;
    for (int i = 0; i < ms / 10 && out.size() < want; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) out.append(buf, static_cast<size_t>(n));
    }
    return out;
}
}  // namespace

TEST_F(PtyFixture, NameExistsAndStaleLinkIsTakenOver) {
    PtyPort other(dir.file("ports"));
    EXPECT_FALSE(other.CreatePort("COM7"));
    port.Delete();
    EXPECT_NE(access(dir.file("ports/COM7").c_str(), F_OK), 0);
    ASSERT_EQ(symlink("/dev/pts/999", dir.file("ports/COM7").c_str()), 0);  // left by a crashed run
    EXPECT_FALSE(other.CreatePort("COM7"));
    EXPECT_TRUE(other.Attach("COM7"));
    dir.write("ports/COM8", "a file of someone else");
    PtyPort third(dir.file("ports"));
    EXPECT_FALSE(third.Attach("COM8"));  // not ours: never removed
}

TEST_F(PtyFixture, AllByteValuesPassBothWays) {
    int fd = openPort();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(port.GetBoolProperty(7));
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    ASSERT_EQ(port.Write(reinterpret_cast<const uint8_t*>(all.data()), 256), 256);
    EXPECT_EQ(readSome(fd, 256), all);
    ASSERT_EQ(write(fd, all.data(), 256), 256);
    EXPECT_TRUE(eventually([&] { return port.InQueueCount() == 256; }));
    uint8_t buf[300];
    ASSERT_EQ(port.Read(buf, 300), 256);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 256), all);
    close(fd);
}

TEST_F(PtyFixture, BytesWhileClosedAreLostAndReopenWorks) {
    EXPECT_FALSE(port.GetBoolProperty(7));
    port.Write(reinterpret_cast<const uint8_t*>("stale"), 5);
    for (int round = 0; round < 3; ++round) {
        int fd = openPort(O_NONBLOCK);
        ASSERT_GE(fd, 0) << round;
        EXPECT_EQ(readSome(fd, 1, 100), "") << round;  // nothing replayed
        ASSERT_EQ(port.Write(reinterpret_cast<const uint8_t*>("live"), 4), 4);
        EXPECT_EQ(readSome(fd, 4), "live");
        ioctl(fd, TIOCEXCL);  // as if the program crashed holding the port exclusively
        termios t{};
        tcgetattr(fd, &t);
        t.c_lflag |= ECHO | ICANON;  // and left it in cooked mode
        tcsetattr(fd, TCSANOW, &t);
        port.Write(reinterpret_cast<const uint8_t*>("late"), 4);  // never read by it
        close(fd);
        settle();
        EXPECT_FALSE(port.GetBoolProperty(7));
    }
    int fd = openPort(O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u);  // raw again for the next program
    EXPECT_EQ(readSome(fd, 1, 100), "");
    close(fd);
}
