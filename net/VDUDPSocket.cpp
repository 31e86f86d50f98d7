#include "net/VDUDPSocket.h"

#include <sys/socket.h>

#include <cerrno>
#include <mutex>

VDUDPSocket::~VDUDPSocket() { endWorker(); }

int VDUDPSocket::SendTo(const VDIPAddress& to, const void* data, int len) {
    std::shared_lock<std::shared_mutex> lk(sockGuard_);
    int fd = sock_;
    if (fd < 0) return -1;
    sockaddr_in sa = to.ToSockaddr();
    ssize_t n = sendto(fd, data, static_cast<size_t>(len), MSG_DONTWAIT | MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    return n < 0 ? -1 : static_cast<int>(n);
}

void VDUDPSocket::Close() {
    if (!IsOpen()) return;
    VDAsyncSocket::Close();
    if (link) link->OnClose(this);
    opened_ = false;
}

bool VDUDPSocket::drain() {
    // A bounded batch, so that a flood cannot delay a stop.
    for (int i = 0; i < 256; ++i) {
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        // MSG_TRUNC reports a datagram's real length, so an over-long one is
        // dropped alone and the socket and the datagrams behind it survive.
        ssize_t n = recvfrom(sock_, rxBuf_, sizeof rxBuf_, MSG_DONTWAIT | MSG_TRUNC,
                             reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n >= 0) {
            if (n > RX_BUF_SIZE) continue;
            VDIPAddress sender = VDIPAddress::FromSockaddr(from);
            if (link) link->OnReceive(this, &sender, rxBuf_, static_cast<uint32_t>(n));
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        if (errno == EINTR || errno == ECONNREFUSED) continue;
        Wake();
        Close();
        return false;
    }
    return true;
}

void VDUDPSocket::Run() {
    for (;;) {
        bool made = running_ && !opened_ && Create(SOCK_DGRAM);
        if (made) {
            int one = 1;
            setsockopt(sock_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
            if (link) link->OnOpen(this);
            opened_ = true;
        }
        firstPass_.Set();
        if (made) {
            for (;;) {
                auto r = stopEvent_.WaitWith(sock_, POLLIN, -1);
                if (r == VDEvent::Signalled) return;
                if (!drain()) break;
            }
        }
        if (stopEvent_.Wait(100)) return;
    }
}
