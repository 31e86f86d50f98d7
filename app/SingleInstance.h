#pragma once
// Machine-wide single-instance lock: an abstract-namespace Unix socket bound
// under the given name. The kernel releases it when the process ends. The
// holder listens on it, so that a second copy can ask it to show itself.
#include <string>

class SingleInstance {
public:
    explicit SingleInstance(const std::string& name);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;
    bool acquired() const { return fd_ >= 0; }
    // Readable when another copy has called wakeHolder.
    int fd() const { return fd_; }
    // Takes one waiting request; false when there was none.
    bool takeRequest();
    // From a copy that did not acquire the lock: asks the holder to show itself.
    static bool wakeHolder(const std::string& name);

private:
    int fd_ = -1;
};
