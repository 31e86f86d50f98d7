#include "app/SingleInstance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <algorithm>
#include <cstring>

SingleInstance::SingleInstance(const std::string& name) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    size_t n = std::min(name.size(), sizeof sa.sun_path - 1);
    std::memcpy(sa.sun_path + 1, name.data(), n);  // leading NUL: abstract name
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), len) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

SingleInstance::~SingleInstance() {
    if (fd_ >= 0) close(fd_);
}
