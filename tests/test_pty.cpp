#include <fcntl.h>
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <sstream>
#include <thread>
#include <vector>

#include "support/TestSupport.h"
#include "vsp/PtyPort.h"

namespace {
struct PtyFixture : ::testing::Test {
    void SetUp() override { ASSERT_TRUE(port.CreatePort("COM7")); }
    // Opens as a program would, and waits until the port knows.
    int openPort(int flags = 0) {
        int fd = open(dir.file("ports/COM7").c_str(), O_RDWR | O_NOCTTY | flags);
        EXPECT_TRUE(eventually([&] { return port.GetBoolProperty(7); }));
        return fd;
    }
    void closePort(int fd) {
        close(fd);
        EXPECT_TRUE(eventually([&] { return !port.GetBoolProperty(7); }));
    }
    TempDir dir;
    std::shared_ptr<PtyWatcher> watcher = std::make_shared<PtyWatcher>();
    PtyPort port{dir.file("ports"), watcher};
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
    PtyPort other(dir.file("ports"), watcher);
    EXPECT_FALSE(other.CreatePort("COM7"));
    port.Delete();
    EXPECT_NE(access(dir.file("ports/COM7").c_str(), F_OK), 0);
    ASSERT_EQ(symlink("/dev/pts/999", dir.file("ports/COM7").c_str()), 0);  // left by a crashed run
    EXPECT_FALSE(other.CreatePort("COM7"));
    EXPECT_TRUE(other.Attach("COM7"));
    dir.write("ports/COM8", "a file of someone else");
    PtyPort third(dir.file("ports"), watcher);
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
        termios raw{};
        tcgetattr(fd, &raw);
        cfmakeraw(&raw);  // each program sets the mode it wants
        tcsetattr(fd, TCSANOW, &raw);
        EXPECT_EQ(readSome(fd, 1, 100), "") << round;  // nothing replayed
        ASSERT_EQ(port.Write(reinterpret_cast<const uint8_t*>("live"), 4), 4);
        EXPECT_EQ(readSome(fd, 4), "live");
        ioctl(fd, TIOCEXCL);  // as if the program crashed holding the port exclusively
        termios t{};
        tcgetattr(fd, &t);
        t.c_lflag |= ECHO | ICANON;  // and left it in cooked mode
        tcsetattr(fd, TCSANOW, &t);
        port.Write(reinterpret_cast<const uint8_t*>("late"), 4);  // never read by it
        closePort(fd);
    }
    int fd = openPort(O_NONBLOCK);
    ASSERT_GE(fd, 0);  // the exclusive flag went with the program
    termios t{};
    tcgetattr(fd, &t);
    // Line settings belong to whoever set them: they stay, as on a real port.
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON), static_cast<tcflag_t>(ECHO | ICANON));
    EXPECT_EQ(readSome(fd, 1, 100), "");
    close(fd);
}

namespace {
// The reader thread's part: waits on the port, which writes what is queued
// as the program makes room.
struct Pump {
    explicit Pump(PtyPort& p) : port(p), thread([this] {
        while (port.WaitInput(stop, -1)) {
        }
    }) {}
    ~Pump() {
        stop.Set();
        thread.join();
    }
    PtyPort& port;
    VDEvent stop{true};
    std::thread thread;
};

// Datagram i: `size` bytes of value i, so a cut or a reorder shows.
std::vector<uint8_t> datagram(int i, size_t size) { return std::vector<uint8_t>(size, static_cast<uint8_t>(i)); }
}  // namespace

TEST_F(PtyFixture, SlowProgramGetsEveryByteInOrder) {
    int fd = openPort(O_NONBLOCK);
    Pump pump(port);
    const int count = 600;  // 600 KB: far more than the terminal holds, less than the queue
    std::thread dtus([&] {
        for (int i = 0; i < count; ++i) {
            std::vector<uint8_t> d = datagram(i, 1024);
            ASSERT_EQ(port.Write(d.data(), 1024), 1024);
        }
    });
    std::string got;
    for (int spins = 0; got.size() < count * 1024u && spins < 20000; ++spins) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[300];  // small reads: a program slower than the network
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    dtus.join();
    ASSERT_EQ(got.size(), count * 1024u);
    for (int i = 0; i < count; ++i)
        ASSERT_EQ(got.substr(static_cast<size_t>(i) * 1024, 1024), std::string(1024, static_cast<char>(i))) << i;
    EXPECT_EQ(port.droppedDatagrams(), 0u);
    close(fd);
}

// Datagrams written one by one, or held and flushed in receive batches of 8.
class PtyQueue : public ::testing::TestWithParam<bool> {
protected:
    int put(PtyPort& port, int i, const std::vector<uint8_t>& d) {
        if (!GetParam()) return port.Write(d.data(), static_cast<int>(d.size()));
        int n = port.WriteHeld(d.data(), static_cast<int>(d.size()));
        if (i % 8 == 7) port.Flush();
        return n;
    }
};

TEST_P(PtyQueue, PastTheLimitWholeDatagramsAreDroppedAndCounted) {
    TempDir dir;
    auto watcher = std::make_shared<PtyWatcher>();
    PtyPort port(dir.file("ports"), watcher, PtyAccess{}, /*queueLimit=*/8192);
    ASSERT_TRUE(port.CreatePort("COM3"));
    int fd = open(dir.file("ports/COM3").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(eventually([&] { return port.GetBoolProperty(7); }));
    // The program reads nothing: the terminal fills, then the queue, then drops.
    int accepted = 0, dropped = 0;
    testing::internal::CaptureStderr();
    for (int i = 0; i < 250; ++i) {
        int n = put(port, i, datagram(i, 1000));
        ASSERT_TRUE(n == 0 || n == 1000) << n;
        (n ? accepted : dropped)++;
    }
    EXPECT_GT(dropped, 0);
    EXPECT_EQ(port.droppedDatagrams(), static_cast<uint64_t>(dropped));
    EXPECT_EQ(port.DroppedBytes(), dropped * 1000u);
    EXPECT_LE(port.queuedBytes(), 8192u + 1000u);
    // Now the program reads: every accepted datagram arrives whole and in order.
    Pump pump(port);
    std::string got;
    for (int spins = 0; got.size() < accepted * 1000u && spins < 300; ++spins) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
    }
    ASSERT_EQ(got.size(), accepted * 1000u);
    int last = -1;
    for (size_t at = 0; at < got.size(); at += 1000) {
        const int i = static_cast<uint8_t>(got[at]);
        EXPECT_EQ(got.substr(at, 1000), std::string(1000, got[at])) << "datagram cut at " << at;
        EXPECT_GT(i, last);
        last = i;
    }
    EXPECT_EQ(put(port, 0, datagram(251, 10)), 10);  // room again: the burst of drops ends
    // One line per burst (the terminal may take a datagram between drops,
    // which ends a burst); together they tell every drop.
    std::istringstream said(testing::internal::GetCapturedStderr());
    std::string line;
    int told = 0;
    while (std::getline(said, line)) {
        int n = 0;
        long long bytes = 0;
        char tail[100] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "COM3: %d datagrams (%lld bytes) from its DTUs dropped: %99[^\n]", &n, &bytes, tail), 3)
            << line;
        EXPECT_EQ(std::string(tail), "the program reads slower than they send");
        EXPECT_EQ(bytes, n * 1000LL);
        told += n;
    }
    EXPECT_EQ(told, dropped);
    close(fd);
}

INSTANTIATE_TEST_SUITE_P(WriteModes, PtyQueue, ::testing::Bool());

TEST(PtyQueueHeld, DropsAreToldWhenADatagramIsTakenAgainThoughTheProgramStaysBehind) {
    TempDir dir;
    PtyPort port(dir.file("ports"), std::make_shared<PtyWatcher>(), PtyAccess{}, /*queueLimit=*/8192);
    ASSERT_TRUE(port.CreatePort("COM4"));
    int fd = open(dir.file("ports/COM4").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(eventually([&] { return port.GetBoolProperty(7); }));
    testing::internal::CaptureStderr();
    const std::vector<uint8_t> d = datagram(1, 1000);
    int dropped = 0;
    for (int i = 0; i < 200; ++i) dropped += port.WriteHeld(d.data(), 1000) == 0;
    ASSERT_GT(dropped, 0);
    // The program reads a little at a time, never catching up.
    bool taken = false;
    char buf[1000];
    for (int i = 0; i < 500 && !taken; ++i) {
        if (read(fd, buf, sizeof buf) <= 0) usleep(1000);
        taken = port.WriteHeld(d.data(), 1000) == 1000;
    }
    ASSERT_TRUE(taken);
    EXPECT_GT(port.queuedBytes(), 0u);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("datagrams ("), std::string::npos) << said;
    EXPECT_NE(said.find(" bytes) from its DTUs dropped"), std::string::npos) << said;
    close(fd);
}

TEST_F(PtyFixture, TwoProgramsOnOnePortLoseNothingWhenOneCloses) {
    int keep = openPort(O_NONBLOCK);
    ASSERT_GE(keep, 0);
    for (int round = 0; round < 20; ++round) {
        int other = open(dir.file("ports/COM7").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(other, 0);
        close(other);
        // Two looks finished after the close: the later began after it.
        const uint64_t seen = port.checks();
        ASSERT_TRUE(eventually([&] { return port.checks() >= seen + 2; }));
        ASSERT_EQ(port.Write(reinterpret_cast<const uint8_t*>("data"), 4), 4);
        ASSERT_EQ(readSome(keep, 4), "data") << round;
        ASSERT_TRUE(port.GetBoolProperty(7)) << round;
    }
    closePort(keep);
}

TEST_F(PtyFixture, LineSpeedIsWhatTheProgramSet) {
    int fd = openPort(O_NONBLOCK);
    for (auto [code, rate] : {std::pair{B9600, 9600}, {B115200, 115200}, {B1200, 1200}}) {
        termios t{};
        ASSERT_EQ(tcgetattr(fd, &t), 0);
        cfsetspeed(&t, code);
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
        EXPECT_EQ(port.LineSpeed(), rate);
    }
    close(fd);
    port.Delete();
    EXPECT_EQ(port.LineSpeed(), 0);
}

TEST_F(PtyFixture, SettingsMadeBeforeOrBetweenProgramsStay) {
    // As `stty -F ports/COM7 ixon 9600` does: open, set, close.
    for (int round = 0; round < 30; ++round) {
        int setter = openPort();
        termios t{};
        tcgetattr(setter, &t);
        t.c_iflag |= IXON;
        cfsetspeed(&t, round % 2 ? B9600 : B19200);
        tcsetattr(setter, TCSANOW, &t);
        close(setter);
        int user = open(dir.file("ports/COM7").c_str(), O_RDWR | O_NOCTTY);  // reopened at once
        ASSERT_GE(user, 0);
        termios seen{};
        tcgetattr(user, &seen);
        EXPECT_TRUE(seen.c_iflag & IXON) << round;
        closePort(user);  // the port has seen both closes now
        int after = openPort();
        tcgetattr(after, &seen);
        EXPECT_TRUE(seen.c_iflag & IXON) << round;
        EXPECT_EQ(cfgetospeed(&seen), static_cast<speed_t>(round % 2 ? B9600 : B19200)) << round;
        t = seen;
        t.c_iflag &= ~IXON;
        tcsetattr(after, TCSANOW, &t);
        closePort(after);
    }
}

TEST(PtyLimits, EveryPortOpensForAnOrdinaryUserWhateverElseHoldsInotify) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become an ordinary user for the test";
    TempDir dir;
    ASSERT_EQ(chown(dir.path.c_str(), 65534, 65534), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(200);
        // The user's other programs hold most of the 128 inotify instances Linux allows.
        for (int i = 0; i < 120; ++i)
            if (inotify_init1(IN_CLOEXEC) < 0) _exit(201);
        auto watcher = std::make_shared<PtyWatcher>();
        std::vector<std::unique_ptr<PtyPort>> ports;
        int failed = 0;
        for (int n = 1; n <= 254; ++n) {
            ports.push_back(std::make_unique<PtyPort>(dir.file("ports"), watcher));
            if (!ports.back()->CreatePort("COM" + std::to_string(n))) {
                std::fprintf(stderr, "COM%d: %s\n", n, ports.back()->LastError().text().c_str());
                ++failed;
            }
        }
        ports.clear();
        _exit(std::min(failed, 199));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "ports that could not be made (200+: could not become the user)";
}
