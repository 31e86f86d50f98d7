#include "net/VDUDPSocket.h"

#include <sys/socket.h>

#include <algorithm>
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
    tapped(TapDir::Tx, localAddr, to, data, n);
    return n < 0 ? -1 : static_cast<int>(n);
}

int VDUDPSocket::SendBatch(const SendItem* items, int count) {
    std::shared_lock<std::shared_mutex> lk(sockGuard_);
    int fd = sock_;
    if (fd < 0) return 0;
    mmsghdr msgs[BATCH];
    iovec iov[BATCH];
    sockaddr_in to[BATCH];
    int done = 0;
    while (done < count) {
        const int k = std::min(count - done, BATCH);
        for (int i = 0; i < k; ++i) {
            const SendItem& it = items[done + i];
            to[i] = it.to.ToSockaddr();
            iov[i] = {const_cast<void*>(it.data), static_cast<size_t>(it.len)};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_name = &to[i];
            msgs[i].msg_hdr.msg_namelen = sizeof to[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int n = sendmmsg(fd, msgs, static_cast<unsigned>(k), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) break;
        for (int i = 0; i < n; ++i)
            tapped(TapDir::Tx, localAddr, items[done + i].to, items[done + i].data, msgs[i].msg_len);
        done += n;  // a datagram goes whole or not at all
        if (n < k) break;
    }
    return done;
}

void VDUDPSocket::Close() {
    if (!IsOpen()) return;
    VDAsyncSocket::Close();
    if (link) link->OnClose(this);
    opened_ = false;
}

void VDUDPSocket::sizeReceiveBuffer() {
    // Bursts of thousands of DTUs must wait in the kernel, not be dropped
    // there. Root may pass the system's limit; others get what it allows.
    int want = RCV_BUFFER;
    const char* how = "forced";
    if (setsockopt(sock_, SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) != 0) {
        setsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
        how = "as the system allows (net.core.rmem_max)";
    }
    int got = 0;
    socklen_t len = sizeof got;
    getsockopt(sock_, SOL_SOCKET, SO_RCVBUF, &got, &len);
    std::lock_guard<std::mutex> lk(noteLock_);
    note_ = "UDP receive buffer: " + std::to_string(got) + " bytes, " + how;
}

std::string VDUDPSocket::Describe() const {
    std::lock_guard<std::mutex> lk(noteLock_);
    return note_;
}

bool VDUDPSocket::drain() {
    // Batches of datagrams per call, and a bounded number of batches, so
    // that a flood cannot delay a stop.
    for (int pass = 0; pass < 16; ++pass) {
        for (int i = 0; i < BATCH; ++i) {
            iov_[i] = {rx_[i], RX_BUF_SIZE};
            msgs_[i].msg_hdr = {};
            msgs_[i].msg_hdr.msg_name = &from_[i];
            msgs_[i].msg_hdr.msg_namelen = sizeof from_[i];
            msgs_[i].msg_hdr.msg_iov = &iov_[i];
            msgs_[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(sock_, msgs_, BATCH, MSG_DONTWAIT, nullptr);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            if (errno == EINTR || errno == ECONNREFUSED) continue;
            Wake();
            Close();
            return false;
        }
        for (int i = 0; i < n; ++i) {
            // A datagram longer than the buffer is dropped alone; the socket
            // and the datagrams behind it survive.
            if (msgs_[i].msg_hdr.msg_flags & MSG_TRUNC) continue;
            VDIPAddress sender = VDIPAddress::FromSockaddr(from_[i]);
            tapped(TapDir::Rx, localAddr, sender, rx_[i], msgs_[i].msg_len);
            if (link) link->OnReceive(this, &sender, rx_[i], msgs_[i].msg_len);
        }
        if (link) link->OnBatchEnd(this);
        if (n < BATCH) return true;
    }
    return true;
}

void VDUDPSocket::Run() {
    for (;;) {
        bool made = running_ && !opened_ && Create(SOCK_DGRAM);
        if (made) {
            int one = 1;
            setsockopt(sock_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
            sizeReceiveBuffer();
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
