#include "vsp/PtyPort.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <dirent.h>

#include <utility>

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

// A line for standard error, written once the port's lock is let go: a
// stderr that blocks must not hold up the DTUs' data.
struct LaterLine {
    std::string text;
    ~LaterLine() {
        if (!text.empty()) std::fputs(text.c_str(), stderr);
    }
};

bool isOurLink(const std::string& path) {
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = 0;
    return std::strncmp(target, "/dev/pts/", 9) == 0;
}
}  // namespace

PtyPort::~PtyPort() { Delete(); }

std::function<std::shared_ptr<IVirtualPort>()> ptyPortMaker(const std::string& dir, PtyAccess access) {
    // One watcher for every port: inotify instances are few per user.
    auto watcher = std::make_shared<PtyWatcher>();
    return [dir, watcher, access] { return std::make_shared<PtyPort>(dir, watcher, access); };
}

bool PtyPort::CreatePort(const std::string& name) { return make(name, false); }

bool PtyPort::Attach(const std::string& name) { return make(name, true); }

bool PtyPort::fail(const char* call) {
    error_ = SysError::last(call);
    closeAll();
    return false;
}

bool PtyPort::make(const std::string& name, bool takeOver) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (master_ >= 0) return false;
        if (!makeLocked(name, takeOver)) return false;
    }
    // Outside the lock: the watcher may call back at once. Watched before
    // the link exists, so no program can open the port unseen.
    SysError e;
    int wd = watcher_ ? watcher_->add(slavePath_, [this] { recheckUsers(); }, e) : -1;
    std::unique_lock<std::mutex> lk(mu_);
    if (wd < 0) {
        error_ = watcher_ ? e : SysError{"inotify_add_watch", EINVAL};
        closeAll();
        return false;
    }
    wd_ = wd;
    if (symlink(slavePath_.c_str(), link_.c_str()) != 0) {
        error_ = SysError::last("symlink");
        lk.unlock();
        watcher_->remove(wd);
        lk.lock();
        wd_ = -1;
        closeAll();
        return false;
    }
    return true;
}

bool PtyPort::makeLocked(const std::string& name, bool takeOver) {
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
    if (access_.group >= 0 && fchown(slave_, static_cast<uid_t>(-1), static_cast<gid_t>(access_.group)) != 0)
        return fail("fchown");
    if (access_.mode >= 0 && fchmod(slave_, static_cast<mode_t>(access_.mode)) != 0) return fail("fchmod");
    makeRaw(slave_);
    link_ = link;
    name_ = name;
    users_ = 0;
    return true;
}

void PtyPort::closeAll() {
    for (int* fd : {&slave_, &master_})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    queue_.clear();
    queued_ = queueFront_ = 0;
}

void PtyPort::Delete() {
    // The watcher first, without our lock: its call-back takes it.
    if (watcher_) watcher_->remove(wd_);
    LaterLine later;
    std::lock_guard<std::mutex> lk(mu_);
    wd_ = -1;
    if (master_ < 0) return;
    endDropBurstLocked(later.text);
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

size_t PtyPort::queuedBytes() const {
    std::lock_guard<std::mutex> lk(mu_);
    return queued_;
}

void PtyPort::flushLocked() {
    // As many datagrams per system call as the program has room for.
    constexpr size_t MAX_IOV = 64;
    iovec iov[MAX_IOV];
    while (!queue_.empty()) {
        size_t k = 0;
        for (auto it = queue_.begin(); it != queue_.end() && k < MAX_IOV; ++it, ++k) {
            const size_t skip = k == 0 ? queueFront_ : 0;
            iov[k] = {it->data() + skip, it->size() - skip};
        }
        ssize_t n = writev(master_, iov, static_cast<int>(k));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the program has not read yet: wait for room
        size_t left = static_cast<size_t>(n);
        queued_ -= left;
        while (left > 0) {
            const size_t rest = queue_.front().size() - queueFront_;
            if (left < rest) {
                queueFront_ += left;
                break;
            }
            left -= rest;
            queue_.pop_front();
            queueFront_ = 0;
            queued_ -= ENTRY_COST;
        }
    }
}

void PtyPort::endDropBurstLocked(std::string& line) {
    if (!burstDatagrams_) return;
    char buf[256];
    std::snprintf(buf, sizeof buf, "%s: %llu datagrams (%llu bytes) from its DTUs dropped: the program reads slower than they send\n",
                  name_.c_str(), static_cast<unsigned long long>(burstDatagrams_),
                  static_cast<unsigned long long>(burstBytes_));
    line = buf;
    burstDatagrams_ = burstBytes_ = 0;
}

bool PtyPort::enqueueLocked(const uint8_t* buf, size_t len, size_t done) {
    // A datagram partly written is kept whole; one that would pass the
    // limit is dropped whole, never cut.
    if (done == 0 && queued_ + len + ENTRY_COST > queueLimit_) {
        ++burstDatagrams_;
        burstBytes_ += len;
        ++droppedDatagrams_;
        droppedBytes_ += len;
        return false;
    }
    queue_.emplace_back(buf + done, buf + len);
    queued_ += len - done + ENTRY_COST;
    return true;
}

int PtyPort::Write(const uint8_t* buf, int count) {
    LaterLine later;
    std::lock_guard<std::mutex> lk(mu_);
    if (master_ < 0 || count <= 0) return 0;
    // Nobody has the port open: the bytes are lost, as on a real line,
    // rather than kept for whichever program opens it next.
    if (users_ <= 0) return count;
    const size_t len = static_cast<size_t>(count);
    flushLocked();
    size_t done = 0;
    if (queue_.empty()) {
        while (done < len) {
            ssize_t n = write(master_, buf + done, len - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        if (done == len) {
            endDropBurstLocked(later.text);
            return count;
        }
    }
    if (!enqueueLocked(buf, len, done)) return 0;
    endDropBurstLocked(later.text);
    kick_.Set();
    return count;
}

int PtyPort::WriteHeld(const uint8_t* buf, int count) {
    LaterLine later;
    std::lock_guard<std::mutex> lk(mu_);
    if (master_ < 0 || count <= 0) return 0;
    if (users_ <= 0) return count;  // as Write: nobody listens
    const size_t len = static_cast<size_t>(count);
    // Room is made by writing what waits before a datagram is given up.
    if (queued_ + len + ENTRY_COST > queueLimit_) flushLocked();
    if (!enqueueLocked(buf, len, 0)) return 0;
    endDropBurstLocked(later.text);
    return count;
}

void PtyPort::Flush() {
    LaterLine later;
    std::lock_guard<std::mutex> lk(mu_);
    if (master_ < 0 || queue_.empty()) return;
    flushLocked();
    if (queue_.empty())
        endDropBurstLocked(later.text);
    else
        kick_.Set();  // the reader writes the rest as the program reads
}

int PtyPort::LineSpeed() {
    static constexpr std::pair<speed_t, int> RATES[] = {
        {B50, 50},         {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
        {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
        {B2400, 2400},     {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
        {B57600, 57600},   {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B500000, 500000},
        {B576000, 576000}, {B921600, 921600}, {B1000000, 1000000}, {B1152000, 1152000}, {B1500000, 1500000},
        {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000}, {B4000000, 4000000},
    };
    termios t{};
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (slave_ < 0 || tcgetattr(slave_, &t) != 0) return 0;
    }
    const speed_t s = cfgetospeed(&t);
    for (const auto& [code, rate] : RATES)
        if (code == s) return rate;
    return 0;
}

bool PtyPort::GetBoolProperty(int dispId) { return dispId == 7 && users_ > 0; }

namespace {
// Every descriptor on `slave`, in every process we may look into (ours, and
// as root everyone's; other users' are closed to an ordinary user).
int countOpeners(const std::string& slave) {
    int count = 0;
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    char path[600], target[PATH_MAX];
    while (dirent* p = readdir(proc)) {
        if (p->d_name[0] < '0' || p->d_name[0] > '9') continue;
        std::snprintf(path, sizeof path, "/proc/%s/fd", p->d_name);
        DIR* fds = opendir(path);
        if (!fds) continue;  // gone, or another user's
        while (dirent* f = readdir(fds)) {
            if (f->d_name[0] == '.') continue;
            std::snprintf(path, sizeof path, "/proc/%s/fd/%s", p->d_name, f->d_name);
            ssize_t n = readlink(path, target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = 0;
            if (slave == target) ++count;
        }
        closedir(fds);
    }
    closedir(proc);
    return count;
}
}  // namespace

void PtyPort::recheckUsers() {
    std::string slave;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (master_ < 0) return;
        slave = slavePath_;
    }
    // The look through /proc takes a while: the DTUs' data goes on meanwhile.
    const int now = std::max(0, countOpeners(slave) - 1);  // less our own descriptor
    LaterLine later;
    std::lock_guard<std::mutex> lk(mu_);
    ++checks_;
    if (master_ < 0 || slave != slavePath_) return;
    const int before = users_;
    users_ = now;
    if (before == 0 && now > 0) tcflush(slave_, TCIFLUSH);  // nothing stale for the newcomer
    if (before > 0 && now == 0) {
        // Exclusive use set by the program would outlive it while the master
        // is open. Its line settings stay: they belong to whoever set them.
        ioctl(slave_, TIOCNXCL);
        tcflush(slave_, TCIFLUSH);
        endDropBurstLocked(later.text);
        queue_.clear();
        queued_ = queueFront_ = 0;
    }
}

bool PtyPort::WaitInput(VDEvent& stop, int timeoutMs) {
    if (master_ < 0) return !stop.Wait(timeoutMs < 0 ? 1000 : timeoutMs);
    short events = POLLIN;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (!queue_.empty()) events |= POLLOUT;
    }
    pollfd fds[2] = {{master_, events, 0}, {kick_.Fd(), POLLIN, 0}};
    if (stop.WaitWith(fds, 2, timeoutMs) == VDEvent::Signalled) return false;
    if (fds[1].revents & POLLIN) kick_.Wait(0);
    if (fds[0].revents & POLLOUT) {
        LaterLine later;
        std::lock_guard<std::mutex> lk(mu_);
        flushLocked();
        if (queue_.empty()) endDropBurstLocked(later.text);
    }
    return true;
}
