#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>

#include "net/VDTCPCSocket.h"
#include "net/VDUDPSocket.h"
#include "support/TestSupport.h"

namespace {
// Records what a socket hands its owner.
struct Recorder : TCommLink {
    void OnOpen(VDAsyncSocket*) override {
        std::lock_guard<std::mutex> lk(m);
        ++opens;
    }
    void OnReceive(VDAsyncSocket*, const VDIPAddress* from, const uint8_t* d, uint32_t n) override {
        std::lock_guard<std::mutex> lk(m);
        units.emplace_back(d, d + n);
        senders.push_back(*from);
    }
    void OnClose(VDAsyncSocket*) override {
        std::lock_guard<std::mutex> lk(m);
        ++closes;
    }
    size_t count() {
        std::lock_guard<std::mutex> lk(m);
        return units.size();
    }
    std::mutex m;
    std::vector<std::vector<uint8_t>> units;
    std::vector<VDIPAddress> senders;
    int opens = 0, closes = 0;
};

struct UdpPeer {
    UdpPeer() : fd(socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~UdpPeer() { close(fd); }
    void send(uint16_t port, size_t len, uint8_t fillByte = 0xAB) {
        std::vector<uint8_t> buf(len, fillByte);
        sockaddr_in sa = VDIPAddress(127, 0, 0, 1, port).ToSockaddr();
        sendto(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    int fd;
};
}  // namespace

TEST(UdpSocket, DeliversWholeDatagramsAndDropsOverlongOnesAlone) {
    Recorder rec;
    VDUDPSocket s;
    uint16_t port = freeUdpPort();
    s.link = &rec;
    s.localAddr = VDIPAddress(0u, port);
    s.Start();
    ASSERT_TRUE(eventually([&] { return s.IsOpen(); }));
    UdpPeer peer;
    peer.send(port, 0);
    peer.send(port, 2000, 1);
    peer.send(port, 2001, 2);  // too long for the receive buffer
    peer.send(port, 5, 3);
    ASSERT_TRUE(eventually([&] { return rec.count() >= 3; }));
    EXPECT_TRUE(s.Stop());
    std::lock_guard<std::mutex> lk(rec.m);
    ASSERT_EQ(rec.units.size(), 3u);
    EXPECT_EQ(rec.units[0].size(), 0u);
    EXPECT_EQ(rec.units[1], std::vector<uint8_t>(2000, 1));
    EXPECT_EQ(rec.units[2], std::vector<uint8_t>(5, 3));
    EXPECT_EQ(rec.opens, 1);   // the socket was never closed and made again
    EXPECT_EQ(rec.closes, 0);
    EXPECT_EQ(rec.senders[0].ToText(), "127.0.0.1:" + std::to_string(boundPort(peer.fd)));
}

TEST(UdpSocket, SendToAndStopTwice) {
    Recorder a, b;
    VDUDPSocket sa, sb;
    uint16_t pa = freeUdpPort(), pb = freeUdpPort();
    sa.link = &a;
    sa.localAddr = VDIPAddress(0u, pa);
    sb.link = &b;
    sb.localAddr = VDIPAddress(0u, pb);
    EXPECT_EQ(sa.SendTo(VDIPAddress(127, 0, 0, 1, pb), "x", 1), -1);  // no socket yet
    sa.Start();
    sb.Start();
    ASSERT_TRUE(eventually([&] { return sa.IsOpen() && sb.IsOpen(); }));
    EXPECT_EQ(sa.SendTo(VDIPAddress(127, 0, 0, 1, pb), "hello", 5), 5);
    ASSERT_TRUE(eventually([&] { return b.count() == 1; }));
    EXPECT_EQ(b.senders[0].Port(), pa);
    EXPECT_TRUE(sa.Stop());
    EXPECT_TRUE(sa.Stop());
}

TEST(UdpSocket, PortIsFreeOnceTheStoppedSocketIsGone) {
    uint16_t port = freeUdpPort();
    Recorder r1, r2;
    auto first = std::make_unique<VDUDPSocket>();
    first->link = &r1;
    first->localAddr = VDIPAddress(0u, port);
    first->Start();
    ASSERT_TRUE(eventually([&] { return first->IsOpen(); }));
    first->Stop();
    VDUDPSocket second;
    second.link = &r2;
    second.localAddr = VDIPAddress(0u, port);
    second.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(second.IsOpen());  // the stopped socket still holds the port
    first.reset();
    EXPECT_TRUE(eventually([&] { return second.IsOpen(); }));  // made again within 100 ms
    UdpPeer peer;
    peer.send(port, 3);
    EXPECT_TRUE(eventually([&] { return r2.count() == 1; }));
}

TEST(UdpSocket, StartThenStopAtOnce) {
    Recorder r;
    VDUDPSocket s;
    s.link = &r;
    s.localAddr = VDIPAddress(0u, freeUdpPort());
    s.Start();
    EXPECT_TRUE(s.Stop());
}

namespace {
struct TcpServer {
    TcpServer() : fd(socket(AF_INET, SOCK_STREAM, 0)) {
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = VDIPAddress(127, 0, 0, 1, 0).ToSockaddr();
        bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        listen(fd, 4);
        port = boundPort(fd);
    }
    ~TcpServer() { close(fd); }
    int accept1() {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0) return -1;
        return accept(fd, nullptr, nullptr);
    }
    int fd;
    uint16_t port;
};
}  // namespace

TEST(TcpSocket, ConnectsDeliversAndReconnects) {
    TcpServer srv;
    Recorder rec;
    VDTCPCSocket s;
    s.link = &rec;
    s.remoteAddr = VDIPAddress(127, 0, 0, 1, srv.port);
    EXPECT_EQ(s.SendTo(s.remoteAddr, "x", 1), 0);  // not connected: nothing sent
    s.Start();
    int c = srv.accept1();
    ASSERT_GE(c, 0);
    ASSERT_TRUE(eventually([&] { return s.Connected(); }));
    EXPECT_EQ(s.SendTo(VDIPAddress(), "ping", 4), 4);
    char buf[16];
    EXPECT_EQ(recv(c, buf, sizeof buf, 0), 4);
    EXPECT_EQ(send(c, "abcdef", 6, 0), 6);
    ASSERT_TRUE(eventually([&] { return rec.count() == 1; }));
    EXPECT_EQ(rec.senders[0].Port(), srv.port);
    close(c);  // the relay goes away: the client connects anew
    int c2 = srv.accept1();
    ASSERT_GE(c2, 0);
    ASSERT_TRUE(eventually([&] { return s.Connected(); }));
    EXPECT_EQ(send(c2, "g", 1, 0), 1);
    EXPECT_TRUE(eventually([&] { return rec.count() == 2; }));
    EXPECT_TRUE(s.Stop());
    close(c2);
    std::lock_guard<std::mutex> lk(rec.m);
    EXPECT_EQ(rec.units[0], std::vector<uint8_t>({'a', 'b', 'c', 'd', 'e', 'f'}));
    EXPECT_GE(rec.opens, 2);
}

TEST(TcpSocket, RefusedConnectionIsRetried) {
    uint16_t port;
    {
        TcpServer probe;
        port = probe.port;
    }  // nobody listens there now
    Recorder rec;
    VDTCPCSocket s;
    s.link = &rec;
    s.remoteAddr = VDIPAddress(127, 0, 0, 1, port);
    s.Start();
    EXPECT_TRUE(eventually([&] {
        std::lock_guard<std::mutex> lk(rec.m);
        return rec.opens >= 3;  // a new attempt about every 100 ms
    }));
    EXPECT_FALSE(s.Connected());
    EXPECT_TRUE(s.Stop());
}
