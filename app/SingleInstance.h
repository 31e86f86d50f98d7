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
    static constexpr size_t MAX_REQUEST = 64 * 1024;
    // Readable when another copy has sent a request.
    int fd() const { return fd_; }
    // Takes one waiting request: its bytes (empty: show yourself; longer
    // than MAX_REQUEST: refused) and whether
    // its sender is our user or root. Returns the connection for the reply
    // (the caller closes it), or -1 when none was waiting.
    int takeRequest(std::string& request, bool& allowed);
    // From a copy that did not acquire the lock: sends `bytes` to the holder
    // and, with `reply`, reads its answer to the end.
    static bool request(const std::string& name, const std::string& bytes, std::string* reply);

private:
    int fd_ = -1;
};
