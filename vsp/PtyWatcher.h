#pragma once
// One inotify instance for every port, read by a thread of its own. Linux
// allows 128 instances per user, shared with the user's other programs, so
// an instance per port would run out long before the last port.
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "net/SysError.h"
#include "net/VDEvent.h"
#include "net/VDThread.h"

class PtyWatcher {
public:
    PtyWatcher();
    ~PtyWatcher();
    PtyWatcher(const PtyWatcher&) = delete;
    PtyWatcher& operator=(const PtyWatcher&) = delete;

    // Calls `changed` on the watcher's thread after the node was opened or
    // closed (several such events may come as one call). -1 on failure,
    // with the cause in `error`.
    int add(const std::string& path, std::function<void()> changed, SysError& error);
    // No call for `wd` runs any more once this returns; never call it from
    // inside a `changed` callback.
    void remove(int wd);

private:
    static constexpr int SECOND_LOOK_MS = 30;
    static uint32_t entry(void* self);
    void run();

    int fd_ = -1;
    SysError initError_;
    std::mutex mu_;  // the map, and held while a callback runs
    std::map<int, std::function<void()>> watches_;
    VDEvent stop_{true};
    VDThread thread_;
};
