#include "app/SingleInstance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
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

bool SingleInstance::takeRequest() {
    int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return false;
    close(c);  // the connection is the whole request
    return true;
}

bool SingleInstance::wakeHolder(const std::string& name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un sa;
    socklen_t len = abstractAddress(name, sa);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&sa), len) == 0;
    close(fd);
    return ok;
}
