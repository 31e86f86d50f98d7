#include "net/VDAsyncSocket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

VDAsyncSocket::~VDAsyncSocket() {
    wakeEvent_.Set();
    int fd = sock_.exchange(-1);
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
        close(fd);
    }
}

uint32_t VDAsyncSocket::workerEntry(void* self) {
    static_cast<VDAsyncSocket*>(self)->Run();
    return 0;
}

void VDAsyncSocket::Start() {
    stopEvent_.Reset();
    firstPass_.Reset();
    running_ = true;
    worker_.Start(&VDAsyncSocket::workerEntry, this);
    firstPass_.Wait(1000);
}

bool VDAsyncSocket::Stop() {
    running_ = false;
    Wake();
    stopEvent_.Set();
    return worker_.Wait(VDThread::INFINITE);
}

void VDAsyncSocket::endWorker() {
    stopEvent_.Set();
    worker_.Wait(VDThread::INFINITE);
}

bool VDAsyncSocket::Create(int type) {
    std::unique_lock<std::shared_mutex> lk(sockGuard_);
    int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sock_ = fd;
    if (!Bind()) {
        close(fd);
        sock_ = -1;
        return false;
    }
    return true;
}

bool VDAsyncSocket::Bind() {
    sockaddr_in sa = localAddr.ToSockaddr();
    return bind(sock_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

void VDAsyncSocket::Wake() { wakeEvent_.Set(); }

bool VDAsyncSocket::WaitWritable(VDEvent& stop, int timeoutMs) {
    int fd = sock_;
    if (fd < 0) return !stop.Wait(timeoutMs);
    return stop.WaitWith(fd, POLLOUT, timeoutMs) != VDEvent::Signalled;
}

void VDAsyncSocket::Close() {
    std::unique_lock<std::shared_mutex> lk(sockGuard_);
    int fd = sock_.exchange(-1);
    if (fd < 0) return;
    shutdown(fd, SHUT_RDWR);
    close(fd);
}
