#include "app/SingleInstance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cerrno>
#include <cstring>

namespace {
socklen_t abstractAddress(const std::string& name, sockaddr_un& sa) {
    sa = {};
    sa.sun_family = AF_UNIX;
    size_t n = std::min(name.size(), sizeof sa.sun_path - 1);
    std::memcpy(sa.sun_path + 1, name.data(), n);  // leading NUL: abstract name
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}
}  // namespace

SingleInstance::SingleInstance(const std::string& name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return;
    sockaddr_un sa;
    socklen_t len = abstractAddress(name, sa);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0 || listen(fd, 4) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

SingleInstance::~SingleInstance() {
    if (fd_ >= 0) close(fd_);
}

int SingleInstance::takeRequest(std::string& request, bool& allowed) {
    int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return -1;
    // The name is abstract and has no file mode: the peer's user decides.
    ucred cred{};
    socklen_t len = sizeof cred;
    allowed = getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && (cred.uid == geteuid() || cred.uid == 0);
    // A caller that never finishes its request, or never reads the answer,
    // does not hold the manager: the loop it runs on also ends the program.
    timeval limit{1, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    request.clear();
    char buf[4096];
    while (request.size() <= MAX_REQUEST) {
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
    }
    return c;
}

bool SingleInstance::request(const std::string& name, const std::string& bytes, std::string* reply) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un sa;
    socklen_t len = abstractAddress(name, sa);
    // Anyone can bind an abstract name: only our own user or root is the manager.
    timeval limit{20, 0};  // longer than the longest command, a DTU's state
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ucred cred{};
    socklen_t clen = sizeof cred;
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), len) == 0 &&
              getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &clen) == 0 && (cred.uid == geteuid() || cred.uid == 0) &&
              send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()) &&
              shutdown(fd, SHUT_WR) == 0;
    if (ok && reply) {
        char buf[4096];
        for (;;) {
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            reply->append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return ok;
}
