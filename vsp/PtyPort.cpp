#include "vsp/PtyPort.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "net/VDEvent.h"

namespace {
// Binary-clean: no echo, no line editing, no CR/LF translation.
void makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
}

bool isOurLink(const std::string& path) {
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = 0;
    return std::strncmp(target, "/dev/pts/", 9) == 0;
}
}  // namespace

PtyPort::~PtyPort() { Delete(); }

bool PtyPort::CreatePort(const std::string& name) { return make(name, false); }

bool PtyPort::Attach(const std::string& name) { return make(name, true); }

bool PtyPort::fail(const char* call) {
    error_ = SysError::last(call);
    closeAll();
    return false;
}

bool PtyPort::make(const std::string& name, bool takeOver) {
    std::lock_guard<std::mutex> lk(mu_);
    if (master_ >= 0) return false;
    error_ = {};
    mkdir(dir_.c_str(), 0755);
    std::string link = dir_ + "/" + name;
    struct stat st{};
    if (lstat(link.c_str(), &st) == 0) {
        // Only a link left by an earlier run of ours is taken over.
        if (!takeOver || !S_ISLNK(st.st_mode) || !isOurLink(link)) {
            error_ = {"symlink", EEXIST};
            return false;
        }
        unlink(link.c_str());
    }
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) return fail("posix_openpt");
    char path[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) return fail("unlockpt");
    if (int e = ptsname_r(master_, path, sizeof path); e != 0) {
        errno = e;
        return fail("ptsname_r");
    }
    slavePath_ = path;
    slave_ = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) return fail("open");
    notify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_ < 0) return fail("inotify_init1");
    if (inotify_add_watch(notify_, path, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
        return fail("inotify_add_watch");
    makeRaw(slave_);
    if (symlink(path, link.c_str()) != 0) return fail("symlink");
    link_ = link;
    users_ = 0;
    return true;
}

void PtyPort::closeAll() {
    for (int* fd : {&notify_, &slave_, &master_})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

void PtyPort::Delete() {
    std::lock_guard<std::mutex> lk(mu_);
    if (master_ < 0) return;
    closeAll();
    char target[PATH_MAX];
    ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0 && slavePath_.compare(0, std::string::npos, target, static_cast<size_t>(n)) == 0) unlink(link_.c_str());
    users_ = 0;
}

int PtyPort::InQueueCount() {
    int n = 0;
    if (master_ < 0 || ioctl(master_, FIONREAD, &n) != 0) return 0;
    return n;
}

int PtyPort::Read(uint8_t* buf, int count) {
    if (master_ < 0 || count <= 0) return 0;
    ssize_t n = read(master_, buf, static_cast<size_t>(count));
    return n < 0 ? 0 : static_cast<int>(n);
}

int PtyPort::Write(const uint8_t* buf, int count) {
    std::lock_guard<std::mutex> lk(mu_);
    if (master_ < 0) return 0;
    // Nobody has the port open: the bytes are lost, as on a real line,
    // rather than kept for whichever program opens it next.
    if (users_ <= 0) return count;
    int done = 0;
    while (done < count) {
        ssize_t n = write(master_, buf + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the program does not read: the rest overflows
        done += static_cast<int>(n);
    }
    return done;
}

bool PtyPort::GetBoolProperty(int dispId) { return dispId == 7 && users_ > 0; }

void PtyPort::handleNotify() {
    alignas(inotify_event) char buf[4096];
    for (;;) {
        ssize_t n = read(notify_, buf, sizeof buf);
        if (n <= 0) return;
        for (char* p = buf; p < buf + n;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            p += sizeof(inotify_event) + ev->len;
            if (ev->mask & IN_OPEN) {
                std::lock_guard<std::mutex> lk(mu_);
                if (users_ == 0) tcflush(slave_, TCIFLUSH);  // nothing stale for the newcomer
                ++users_;
            } else if (ev->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                std::lock_guard<std::mutex> lk(mu_);
                if (users_ > 0 && --users_ == 0) {
                    // Exclusive use set by the program would outlive it while
                    // the master is open; so would its line settings.
                    ioctl(slave_, TIOCNXCL);
                    makeRaw(slave_);
                    tcflush(slave_, TCIFLUSH);
                }
            }
        }
    }
}

bool PtyPort::WaitInput(VDEvent& stop, int timeoutMs) {
    if (master_ < 0) return !stop.Wait(timeoutMs < 0 ? 1000 : timeoutMs);
    pollfd fds[2] = {{master_, POLLIN, 0}, {notify_, POLLIN, 0}};
    if (stop.WaitWith(fds, 2, timeoutMs) == VDEvent::Signalled) return false;
    if (fds[1].revents & POLLIN) handleNotify();
    return true;
}
