#include "net/VDTCPCSocket.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>

namespace {
// A dead connection must not go unnoticed: an idle one is probed after 5 s,
// every 2 s, and given up after 3 unanswered probes; data unacknowledged for
// 10 s ends it too (a full send buffer then fails instead of waiting for ever).
constexpr int KEEP_IDLE_S = 5, KEEP_INTERVAL_S = 2, KEEP_COUNT = 3;
constexpr unsigned USER_TIMEOUT_MS = 10000;
// A connect that hangs (the relay unreachable) is given up and tried anew, so
// that the first attempt after the relay is back comes within this time.
constexpr int CONNECT_TIMEOUT_MS = 3000;

void watchForDeath(int fd) {
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &KEEP_IDLE_S, sizeof KEEP_IDLE_S);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &KEEP_INTERVAL_S, sizeof KEEP_INTERVAL_S);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &KEEP_COUNT, sizeof KEEP_COUNT);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &USER_TIMEOUT_MS, sizeof USER_TIMEOUT_MS);
}
}  // namespace

VDTCPCSocket::~VDTCPCSocket() { endWorker(); }

int VDTCPCSocket::SendTo(const VDIPAddress&, const void* data, int len) {
    if (!connected_) return 0;
    std::shared_lock<std::shared_mutex> lk(sockGuard_);
    int fd = sock_;
    if (fd < 0) return 0;
    ssize_t n = send(fd, data, static_cast<size_t>(len), MSG_DONTWAIT | MSG_NOSIGNAL);
    tapped(TapDir::Tx, streamLocal(), remoteAddr, data, n);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;  // full, not broken; a link that stays full dies by the user timeout
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

VDIPAddress VDTCPCSocket::streamLocal() const {
    VDIPAddress a;
    a.sin_port = htons(localPort_.load(std::memory_order_relaxed));
    return a;
}

void VDTCPCSocket::noteLocalPort() {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (getsockname(sock_, reinterpret_cast<sockaddr*>(&sa), &len) == 0) localPort_ = ntohs(sa.sin_port);
}

bool VDTCPCSocket::connect() {
    sockaddr_in sa = remoteAddr.ToSockaddr();
    int r = ::connect(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (r == 0 || errno == EISCONN) {
        noteLocalPort();
        connected_ = true;
        return true;
    }
    if (errno != EINPROGRESS) return true;
    pollfd p{sock_, POLLOUT, 0};
    switch (stopEvent_.WaitWith(&p, 1, CONNECT_TIMEOUT_MS)) {
    case VDEvent::Signalled: return false;
    case VDEvent::Timeout: return true;  // not connected: closed and tried anew
    case VDEvent::Ready: break;
    }
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(sock_, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err == 0) noteLocalPort();
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
            tapped(TapDir::Rx, streamLocal(), remoteAddr, rxBuf_, n);
            if (link) {
                link->OnReceive(this, &remoteAddr, rxBuf_, static_cast<uint32_t>(n));
                link->OnBatchEnd(this);
            }
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
            watchForDeath(sock_);
            if (!connect() || !receive()) return;
            Close();
        }
        if (stopEvent_.Wait(100)) return;
    }
}
