#include "app/PcapFormat.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {
// Host order is what pcap readers expect of the file header and the record
// headers (they tell it from the magic); the packets are in network order.
template <class T> void putHost(std::string& out, T v) { out.append(reinterpret_cast<const char*>(&v), sizeof v); }
void putBe16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
constexpr size_t MAX_IP_PAYLOAD = 65535 - IPV4_HEADER - UDP_HEADER;
}  // namespace

std::string pcapFileHeader() {
    std::string h;
    putHost<uint32_t>(h, PCAP_MAGIC);
    putHost<uint16_t>(h, 2);
    putHost<uint16_t>(h, 4);
    putHost<int32_t>(h, 0);      // stamps in UTC
    putHost<uint32_t>(h, 0);     // accuracy
    putHost<uint32_t>(h, 65535); // snap length
    putHost<uint32_t>(h, LINKTYPE_RAW);
    return h;
}

uint16_t ipv4Checksum(const uint8_t* h, size_t len) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < len; i += 2) sum += static_cast<uint32_t>(h[i] << 8 | h[i + 1]);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void appendPcapRecord(const TapRecord& r, const VDIPAddress& local, std::string& out) {
    const size_t payload = std::min(r.bytes.size(), MAX_IP_PAYLOAD);
    const size_t total = IPV4_HEADER + UDP_HEADER + payload;
    putHost<uint32_t>(out, static_cast<uint32_t>(r.usec / 1000000));
    putHost<uint32_t>(out, static_cast<uint32_t>(r.usec % 1000000));
    putHost<uint32_t>(out, static_cast<uint32_t>(total));
    putHost<uint32_t>(out, static_cast<uint32_t>(total));

    const VDIPAddress& src = r.dir == TapDir::Tx ? local : r.peer;
    const VDIPAddress& dst = r.dir == TapDir::Tx ? r.peer : local;
    uint8_t h[IPV4_HEADER + UDP_HEADER] = {};
    h[0] = 0x45;  // version 4, 5 words
    putBe16(h + 2, static_cast<uint16_t>(total));
    h[6] = 0x40;  // don't fragment
    h[8] = 64;    // time to live
    h[9] = IPPROTO_UDP;
    std::memcpy(h + 12, src.sin_addr, 4);
    std::memcpy(h + 16, dst.sin_addr, 4);
    putBe16(h + 10, ipv4Checksum(h, IPV4_HEADER));
    uint8_t* udp = h + IPV4_HEADER;
    std::memcpy(udp, &src.sin_port, 2);  // already in network order
    std::memcpy(udp + 2, &dst.sin_port, 2);
    putBe16(udp + 4, static_cast<uint16_t>(UDP_HEADER + payload));
    // UDP checksum 0: none, which IPv4 allows.
    out.append(reinterpret_cast<const char*>(h), sizeof h);
    out.append(reinterpret_cast<const char*>(r.bytes.data()), payload);
}

VDIPAddress sourceFor(const VDIPAddress& peer) {
    VDIPAddress none;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return none;
    // Connecting a datagram socket sends nothing: it only asks for the route.
    sockaddr_in sa = peer.ToSockaddr();
    if (sa.sin_port == 0) sa.sin_port = htons(9);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
              getsockname(fd, reinterpret_cast<sockaddr*>(&me), &len) == 0;
    ::close(fd);
    return ok ? VDIPAddress::FromSockaddr(me) : none;
}
