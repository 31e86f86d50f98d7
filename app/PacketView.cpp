#include "app/PacketView.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "app/TrafficFiles.h"
#include "link/LinkProtocol.h"
#include "vsp/Framing.h"

namespace {
bool carriesSerial(uint8_t type) { return type == DtuData || type == RelayData || type == RelayDtuData; }
bool isRelayRequest(uint8_t type) { return type >= RelayLogon && type <= RelayData; }
// What the manager sends behind a link header: data and the management requests.
bool sentWithLinkHeader(uint8_t type) { return type == DtuData || (type >= DtuRestart && type <= DtuSetConfig); }

void decodeTx(PacketView& v) {
    const uint8_t* p = v.rec.bytes.data();
    const size_t len = v.rec.bytes.size();
    // What we send to the relay starts with the credential block, not a link header.
    RelayPacket rp;
    if (len > LINK_HEADER_SIZE - 1 && isRelayRequest(p[LINK_HEADER_SIZE - 1]) &&
        parseRelayPacket(p, len, rp) == Parsed::Complete) {
        v.type = packetTypeName(rp.type);
        v.code = rp.type;
        v.devNo = std::string(rp.devNo);
        v.payloadAt = static_cast<size_t>(rp.body - p);
        return;
    }
    LinkPacket lp;
    if (parseLinkPacket(p, len, lp) == Parsed::Complete && sentWithLinkHeader(lp.type)) {
        v.type = packetTypeName(lp.type);
        v.code = lp.type;
        v.devNo = std::string(lp.devNo);
        v.payloadAt = LINK_HEADER_SIZE;
        return;
    }
    v.type = "raw";
    v.payloadAt = 0;
}

void decodeRx(PacketView& v) {
    LinkPacket lp;
    if (parseLinkPacket(v.rec.bytes.data(), v.rec.bytes.size(), lp) != Parsed::Complete) {
        v.type = "bad";
        return;
    }
    const char* name = packetTypeName(lp.type);
    v.type = name ? name : "management response";
    v.code = lp.type;
    v.devNo = std::string(lp.devNo);
    v.payloadAt = LINK_HEADER_SIZE;
}

bool containsNoCase(const std::string& hay, const std::string& needle) {
    auto it = std::search(hay.begin(), hay.end(), needle.begin(), needle.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != hay.end();
}
}  // namespace

FrameView describeFrame(const uint8_t* data, size_t len) {
    static const char* const names[] = {"Kestrel", "Osprey/Farcomm", "Harrier"};
    FrameView f;
    const int count = static_cast<int>(std::min<size_t>(len, 1 << 20));
    for (uint32_t proto = 2; proto <= 4; ++proto) {
        int announced = frameAnnounced(proto, data, count);
        if (announced <= 0) continue;
        f.protocol = names[proto - 2];
        f.led = frameLed(data, count);
        f.announced = announced;
        break;
    }
    return f;
}

PacketView describePacket(TapRecord r) {
    PacketView v;
    v.rec = std::move(r);
    if (v.rec.dir == TapDir::Tx)
        decodeTx(v);
    else
        decodeRx(v);
    const size_t len = v.rec.bytes.size();
    const bool serialData = v.type == "raw" || (v.code >= 0 && carriesSerial(static_cast<uint8_t>(v.code)));
    if (serialData && v.payloadAt < len) v.frame = describeFrame(v.rec.bytes.data() + v.payloadAt, len - v.payloadAt);
    return v;
}

const char* directionText(TapDir d) { return d == TapDir::Tx ? "Tx" : "Rx"; }

std::string hexPreview(const uint8_t* data, size_t len, size_t bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < len && i < bytes; ++i) {
        if (i) s += ' ';
        s += digits[data[i] >> 4];
        s += digits[data[i] & 15];
    }
    if (len > bytes) s += " \xE2\x80\xA6";
    return s;
}

std::string hexDump(const uint8_t* data, size_t len) {
    std::string out;
    for (size_t at = 0; at < len; at += 16) {
        char off[24];
        std::snprintf(off, sizeof off, "%04zx  ", at);
        out += off;
        const size_t n = std::min<size_t>(16, len - at);
        std::string hex = hexPreview(data + at, n, 16);
        hex.resize(16 * 3, ' ');
        out += hex;
        for (size_t i = 0; i < n; ++i) out += std::isprint(data[at + i]) ? static_cast<char>(data[at + i]) : '.';
        out += '\n';
    }
    return out;
}

std::string frameText(const FrameView& f) {
    if (!f.protocol) return {};
    return std::string(f.protocol) + " LED " + std::to_string(f.led) + ", " + std::to_string(f.announced) + " bytes";
}

std::string entryLine(const PacketView& v) {
    const auto& b = v.rec.bytes;
    return tapTimeText(v.rec.usec, false) + '\t' + directionText(v.rec.dir) + '\t' + v.rec.peer.ToText() + '\t' +
           v.type + '\t' + v.devNo + '\t' + std::to_string(b.size()) + '\t' + frameText(v.frame) + '\t' +
           hexPreview(b.data(), b.size(), b.size());
}

bool MonitorFilter::accepts(const PacketView& v) const {
    if (port != 0 && v.port != port) return false;
    if (!devNo.empty() && v.devNo != devNo) return false;
    if (text.empty()) return true;
    for (const std::string& field : {v.type, v.rec.peer.ToText(), v.devNo, frameText(v.frame)})
        if (containsNoCase(field, text)) return true;
    return false;
}
