#pragma once
// Machine-wide single-instance lock: an abstract-namespace Unix socket bound
// under the given name. The kernel releases it when the process ends.
#include <string>

class SingleInstance {
public:
    explicit SingleInstance(const std::string& name);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;
    bool acquired() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};
