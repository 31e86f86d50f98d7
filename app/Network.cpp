#include "app/Network.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "net/VDTCPCSocket.h"
#include "net/VDUDPSocket.h"

std::shared_ptr<VDAsyncSocket> makeSystemSocket(const SocketSpec& spec) {
    if (!spec.tcp) return std::make_shared<VDUDPSocket>();
    auto tcp = std::make_shared<VDTCPCSocket>();
    tcp->remoteAddr = spec.remote;
    return tcp;
}

bool systemLookup(const std::string& host, uint8_t ip[4]) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    bool ok = getaddrinfo(host.c_str(), nullptr, &hints, &res) == 0 && res;
    if (ok) std::memcpy(ip, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, 4);
    if (res) freeaddrinfo(res);
    return ok;
}

void Network::startNetwork() {
    if (netStarted) return;
    std::shared_ptr<VDAsyncSocket> s;
    SocketSpec spec;
    spec.local = VDIPAddress(0u, udpPort);
    spec.remote = relayAddr;
    if (udpPort != 0) {
        s = make_(spec);
    } else if (netMode == 2) {
        spec.tcp = true;
        s = make_(spec);
    }
    if (s) {
        s->link = &link_;
        s->tap = tap;
        s->localAddr = spec.local;
        s->Start();
        if (std::string note = s->Describe(); !note.empty()) std::fprintf(stderr, "%s\n", note.c_str());
    }
    {
        std::lock_guard<std::mutex> lk(sockLock_);
        socket_ = s;
    }
    netStarted = true;
}

void Network::stopNetwork() {
    if (!netStarted) return;
    std::shared_ptr<VDAsyncSocket> old;
    {
        std::lock_guard<std::mutex> lk(sockLock_);
        old.swap(socket_);
    }
    if (old) old->Stop();
    // The last reference, here or in a reader still sending, closes the
    // socket, so its UDP port is free for the next socket.
    netStarted = false;
}

std::shared_ptr<VDAsyncSocket> Network::socket() const {
    std::lock_guard<std::mutex> lk(sockLock_);
    return socket_;
}

void Network::sendToRelay(const uint8_t* data, int len) {
    if (relayRefused) return;  // an incompatible relay gets nothing more
    if (auto s = socket()) s->SendTo(relayAddr, data, len);
}

void Network::credentials(std::string& user, std::string& pwd) const {
    std::lock_guard<std::mutex> lk(credLock_);
    user = usrName_;
    pwd = usrPwd_;
}

void Network::setCredentials(const std::string& user, const std::string& pwd) {
    std::lock_guard<std::mutex> lk(credLock_);
    usrName_ = user;
    usrPwd_ = pwd;
}
