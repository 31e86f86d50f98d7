#include "net/VDTCPCSocket.h"

#include <sys/socket.h>

#include <cerrno>
#include <mutex>

VDTCPCSocket::~VDTCPCSocket() { endWorker(); }

int VDTCPCSocket::SendTo(const VDIPAddress&, const void* data, int len) {
    if (!connected_) return 0;
    std::shared_lock<std::shared_mutex> lk(sockGuard_);
    int fd = sock_;
    if (fd < 0) return 0;
    ssize_t n = send(fd, data, static_cast<size_t>(len), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;  // full, not broken
    connected_ = false;
    opened_ = false;
    Wake();  // the worker closes and connects anew
    return -1;
}

void VDTCPCSocket::Close() {
    if (!IsOpen()) return;
    connected_ = false;
    VDAsyncSocket::Close();
    if (link) link->OnClose(this);
    opened_ = false;
}

bool VDTCPCSocket::connect() {
    sockaddr_in sa = remoteAddr.ToSockaddr();
    int r = ::connect(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r == 0 || errno == EISCONN) {
        connected_ = true;
        return true;
    }
    if (errno != EINPROGRESS) return true;
    pollfd p{sock_, POLLOUT, 0};
    if (stopEvent_.WaitWith(&p, 1, -1) == VDEvent::Signalled) return false;
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(sock_, SOL_SOCKET, SO_ERROR, &err, &len);
    connected_ = err == 0;
    return true;
}

bool VDTCPCSocket::receive() {
    while (connected_ && opened_) {
        pollfd fds[2] = {{sock_, POLLIN, 0}, {wakeEvent_.Fd(), POLLIN, 0}};
        if (stopEvent_.WaitWith(fds, 2, -1) == VDEvent::Signalled) return false;
        if (fds[1].revents) wakeEvent_.Reset();
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = recv(sock_, rxBuf_, sizeof rxBuf_, MSG_DONTWAIT);
        if (n > 0) {
            if (link) link->OnReceive(this, &remoteAddr, rxBuf_, static_cast<uint32_t>(n));
        } else if (n == 0) {
            connected_ = false;  // the relay closed the connection
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            connected_ = false;
        }
    }
    return true;
}

void VDTCPCSocket::Run() {
    for (;;) {
        bool made = running_ && !opened_ && Create(SOCK_STREAM);
        firstPass_.Set();
        if (made) {
            if (link) link->OnOpen(this);
            opened_ = true;
            connected_ = false;
            if (!connect() || !receive()) return;
            Close();
        }
        if (stopEvent_.Wait(100)) return;
    }
}
