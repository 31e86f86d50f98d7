#pragma once
// Reads back a capture the manager wrote: classic pcap, raw IPv4 packets
// with UDP headers; checks each IPv4 header's checksum on the way.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/PcapFormat.h"

struct PcapPacket {
    std::string src, dst;  // "a.b.c.d:port"
    std::vector<uint8_t> payload;
    bool checksumOk = false;
};

// Empty when the file is not a capture of ours.
inline std::vector<PcapPacket> readPcap(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<PcapPacket> out;
    ok = false;
    uint32_t magic = 0, link = 0;
    if (b.size() < PCAP_FILE_HEADER) return out;
    std::memcpy(&magic, b.data(), 4);
    std::memcpy(&link, b.data() + 20, 4);
    if (magic != PCAP_MAGIC || link != LINKTYPE_RAW) return out;
    auto endpoint = [](const uint8_t* ip, const uint8_t* port) {
        char t[32];
        std::snprintf(t, sizeof t, "%u.%u.%u.%u:%u", ip[0], ip[1], ip[2], ip[3], port[0] << 8 | port[1]);
        return std::string(t);
    };
    size_t at = PCAP_FILE_HEADER;
    while (at + PCAP_RECORD_HEADER <= b.size()) {
        uint32_t caplen = 0;
        std::memcpy(&caplen, b.data() + at + 8, 4);
        at += PCAP_RECORD_HEADER;
        if (caplen < IPV4_HEADER + UDP_HEADER || at + caplen > b.size()) return out;
        const auto* p = reinterpret_cast<const uint8_t*>(b.data() + at);
        PcapPacket pk;
        pk.checksumOk = ipv4Checksum(p, IPV4_HEADER) == 0 && p[9] == 17;
        pk.src = endpoint(p + 12, p + IPV4_HEADER);
        pk.dst = endpoint(p + 16, p + IPV4_HEADER + 2);
        pk.payload.assign(p + IPV4_HEADER + UDP_HEADER, p + caplen);
        out.push_back(std::move(pk));
        at += caplen;
    }
    ok = at == b.size();
    return out;
}
