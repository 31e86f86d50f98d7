#include "app/TrafficFiles.h"

#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "app/PcapFormat.h"

std::string tapTimeText(int64_t usec, bool withDate) {
    // The zone is looked up once a second per thread, not once a record.
    thread_local time_t lastSecs = -1;
    thread_local tm t{};
    const time_t secs = static_cast<time_t>(usec / 1000000);
    if (secs != lastSecs) {
        localtime_r(&secs, &t);
        lastSecs = secs;
    }
    char buf[64];
    const int ms = static_cast<int>(usec % 1000000 / 1000);
    if (withDate)
        std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                      t.tm_hour, t.tm_min, t.tm_sec, ms);
    else
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d.%03d", t.tm_hour, t.tm_min, t.tm_sec, ms);
    return buf;
}

void appendSerialLogLine(const TapRecord& r, std::string& out) {
    static const char digits[] = "0123456789ABCDEF";
    out.reserve(out.size() + 40 + 3 * r.bytes.size());
    out += tapTimeText(r.usec, true);
    out += " COM" + std::to_string(r.port) + (r.dir == TapDir::Tx ? " tx" : " rx");
    for (uint8_t b : r.bytes) {
        out += ' ';
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    out += '\n';
}

namespace {
// A record as pcap, the manager's end given the address it sends from where
// its socket is bound to every address. Routes are cached, a bounded number.
class CaptureFormat {
public:
    void operator()(const TapRecord& r, std::string& out) {
        VDIPAddress local = r.local;
        if (!local.sin_addr[0] && !local.sin_addr[1] && !local.sin_addr[2] && !local.sin_addr[3]) {
            uint32_t key;
            std::memcpy(&key, r.peer.sin_addr, 4);
            if (routes_.size() > 4096) routes_.clear();
            auto it = routes_.find(key);
            if (it == routes_.end()) it = routes_.emplace(key, sourceFor(r.peer)).first;
            std::memcpy(local.sin_addr, it->second.sin_addr, 4);
        }
        appendPcapRecord(r, local, out);
    }

private:
    std::map<uint32_t, VDIPAddress> routes_;
};
}  // namespace

std::unique_ptr<RecordFile> openCapture(const std::string& path, std::string& error) {
    // Only the writer's thread formats, so the route cache needs no lock.
    auto format = std::make_shared<CaptureFormat>();
    return RecordFile::create(
        path, "capture", pcapFileHeader(), [format](const TapRecord& r, std::string& out) { (*format)(r, out); },
        error);
}

bool saveCapture(const std::string& path, const std::vector<const TapRecord*>& records, std::string& error) {
    CaptureFormat format;
    std::string bytes = pcapFileHeader();
    for (const TapRecord* r : records) format(*r, bytes);
    FILE* f = std::fopen(path.c_str(), "wb");
    bool ok = f && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f && std::fclose(f) != 0) ok = false;
    if (!ok) error = "Cannot write " + path + ": " + std::strerror(errno);
    return ok;
}

std::unique_ptr<RecordFile> openSerialLog(const std::string& path, std::string& error) {
    return RecordFile::create(path, "serial log", {}, appendSerialLogLine, error);
}
