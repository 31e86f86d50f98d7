#include "vsp/PtyWatcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <set>

PtyWatcher::PtyWatcher() {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) {
        initError_ = SysError::last("inotify_init1");
        return;
    }
    thread_.Start(&PtyWatcher::entry, this);
}

PtyWatcher::~PtyWatcher() {
    stop_.Set();
    thread_.Wait(VDThread::INFINITE);
    if (fd_ >= 0) close(fd_);
}

uint32_t PtyWatcher::entry(void* self) {
    static_cast<PtyWatcher*>(self)->run();
    return 0;
}

int PtyWatcher::add(const std::string& path, std::function<void()> changed, SysError& error) {
    if (fd_ < 0) {
        error = initError_;
        return -1;
    }
    std::lock_guard<std::mutex> lk(mu_);
    int wd = inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
    if (wd < 0) {
        error = SysError::last("inotify_add_watch");
        return -1;
    }
    watches_[wd] = std::move(changed);
    return wd;
}

void PtyWatcher::remove(int wd) {
    if (wd < 0) return;
    std::lock_guard<std::mutex> lk(mu_);
    watches_.erase(wd);
    inotify_rm_watch(fd_, wd);
}

void PtyWatcher::run() {
    alignas(inotify_event) char buf[8192];
    std::set<int> again;  // ports to look at once more, a moment later
    for (;;) {
        VDEvent::WaitResult r = stop_.WaitWith(fd_, POLLIN, again.empty() ? -1 : SECOND_LOOK_MS);
        if (r == VDEvent::Signalled) return;
        // Every event of a batch for one port comes down to one call: the
        // port looks again at who has it open, so merged events lose nothing.
        std::set<int> touched;
        bool overflow = false;
        if (r == VDEvent::Timeout) touched.swap(again);
        for (;;) {
            ssize_t n = r == VDEvent::Ready ? read(fd_, buf, sizeof buf) : 0;
            if (n <= 0) break;
            for (char* p = buf; p < buf + n;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                p += sizeof(inotify_event) + ev->len;
                if (ev->mask & IN_Q_OVERFLOW) overflow = true;
                if (ev->mask & (IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) touched.insert(ev->wd);
            }
        }
        std::lock_guard<std::mutex> lk(mu_);
        if (overflow)  // events were lost: every port looks
            for (auto& w : watches_) touched.insert(w.first);
        for (int wd : touched) {
            auto it = watches_.find(wd);
            if (it != watches_.end()) it->second();
        }
        // An opener's descriptor may show in /proc only just after its event.
        if (r == VDEvent::Ready) again.insert(touched.begin(), touched.end());
    }
}
