#pragma once
// A tapped datagram as the monitor shows it: its type by name, the device
// number, and for serial data the controller frame it starts with. Made from
// the bytes by the codec and the framing functions, never reading past them.
#include <cstdint>
#include <string>

#include "app/TapRecord.h"

struct FrameView {
    const char* protocol = nullptr;  // "Kestrel", "Osprey/Farcomm", "Harrier"; null: none
    int led = -1;
    int announced = 0;  // the frame length its header announces
};

struct PacketView {
    TapRecord rec;
    std::string type;   // "DtuData", "management response", "bad" ...
    int code = -1;      // the type byte; -1 for "bad" and "raw"
    std::string devNo;  // empty when the packet names none
    int port = 0;       // COM number of that DTU; 0: not known
    size_t payloadAt = 0;  // where the serial data or the answer starts
    FrameView frame;
};

// Decodes the record's bytes. A datagram from a DTU or the relay that is
// too short or whose device number has no end is "bad"; one the manager sends
// without a link header (a port with application protocol 0, the Fast Relay
// opening byte) is "raw".
PacketView describePacket(TapRecord r);
FrameView describeFrame(const uint8_t* data, size_t len);

// "Tx" (towards the DTUs) or "Rx".
const char* directionText(TapDir d);
// Lines of 16 bytes: offset, hex, ASCII (dots for what does not print).
std::string hexDump(const uint8_t* data, size_t len);
// The first bytes as hex, "…" when there are more.
std::string hexPreview(const uint8_t* data, size_t len, size_t bytes);
std::string frameText(const FrameView& f);
// One line of the entry, tab-separated, as the monitor copies it.
std::string entryLine(const PacketView& v);

// Which entries the monitor shows: a port, a DTU, and text that the type,
// peer, device number or frame must contain (case-insensitive).
struct MonitorFilter {
    int port = 0;       // 0: every port
    std::string devNo;  // empty: every DTU
    std::string text;
    bool accepts(const PacketView& v) const;
};
