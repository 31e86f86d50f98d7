#include "app/TrafficHub.h"

#include <chrono>

int64_t tapNowUsec() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

TrafficHub::~TrafficHub() {
    setCapture(nullptr);
    setSerialLog(nullptr);
}

void TrafficHub::datagram(TapDir dir, const VDIPAddress& local, const VDIPAddress& peer, bool stream,
                          const uint8_t* data, size_t len) {
    if (!datagramsWanted_) return;  // only the serial log listens
    TapRecord r;
    r.usec = tapNowUsec();
    r.dir = dir;
    r.stream = stream;
    r.local = local;
    r.peer = peer;
    if (monitor_) ring_.push(r, data, len);
    std::lock_guard<std::mutex> lk(filesLock_);
    if (!capture_) return;
    r.bytes.assign(data, data + len);
    capture_->push(std::move(r));
}

void TrafficHub::serial(int port, TapDir dir, const uint8_t* data, size_t len) {
    if (!serialWanted_) return;  // the monitor shows datagrams only
    std::lock_guard<std::mutex> lk(filesLock_);
    if (!serialLog_) return;
    TapRecord r;
    r.usec = tapNowUsec();
    r.dir = dir;
    r.serial = true;
    r.port = port;
    r.bytes.assign(data, data + len);
    serialLog_->push(std::move(r));
}

void TrafficHub::setMonitor(bool on) {
    std::lock_guard<std::mutex> lk(filesLock_);
    monitor_ = on;
    // Also when it opens: a push that raced the last close may have left one.
    ring_.clear();
    listenIfWanted();
}

void TrafficHub::setCapture(std::unique_ptr<RecordFile> f) { replace(capture_, std::move(f)); }

void TrafficHub::setSerialLog(std::unique_ptr<RecordFile> f) { replace(serialLog_, std::move(f)); }

void TrafficHub::replace(std::unique_ptr<RecordFile>& slot, std::unique_ptr<RecordFile> f) {
    {
        std::lock_guard<std::mutex> lk(filesLock_);
        slot.swap(f);
        listenIfWanted();
    }
    // The old file (now in `f`) is finished here, outside the lock the data path takes.
}

void TrafficHub::listenIfWanted() {
    serialWanted_ = serialLog_ != nullptr;
    datagramsWanted_ = monitor_ || capture_;
    listening_ = monitor_ || capture_ || serialLog_;
}
