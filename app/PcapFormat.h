#pragma once
// Classic pcap (microsecond stamps, LINKTYPE_RAW): each datagram becomes an
// IPv4 packet with a UDP header, made with the real addresses and ports, so
// that tcpdump and Wireshark read the file. A chunk of the stream to the
// relay is written the same way, as if it were one datagram.
#include <cstdint>
#include <string>

#include "app/TapRecord.h"

constexpr uint32_t PCAP_MAGIC = 0xa1b2c3d4;
constexpr uint32_t LINKTYPE_RAW = 101;
constexpr size_t PCAP_FILE_HEADER = 24, PCAP_RECORD_HEADER = 16, IPV4_HEADER = 20, UDP_HEADER = 8;

std::string pcapFileHeader();
// Appends the record; `local` stands for the manager's end (its address
// filled in where the socket is bound to every address).
void appendPcapRecord(const TapRecord& r, const VDIPAddress& local, std::string& out);
// The one's complement sum of an IPv4 header, as its checksum field wants it.
uint16_t ipv4Checksum(const uint8_t* header, size_t len);
// The address this host sends from towards `peer` (the kernel's route), for
// a socket bound to 0.0.0.0; 0.0.0.0 when there is no route.
VDIPAddress sourceFor(const VDIPAddress& peer);
