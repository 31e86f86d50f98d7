#pragma once
// What the tap feeds: the monitor's ring while a monitor is open, the capture
// file and the serial log while they are written. The tap listens only
// while one of them wants records.
#include <memory>
#include <mutex>
#include <vector>

#include "app/RecordFile.h"
#include "app/TrafficRing.h"
#include "net/TrafficTap.h"

class TrafficHub : public TrafficTap {
public:
    ~TrafficHub() override;
    void datagram(TapDir dir, const VDIPAddress& local, const VDIPAddress& peer, bool stream, const uint8_t* data,
                  size_t len) override;
    void serial(int port, TapDir dir, const uint8_t* data, size_t len) override;

    void setMonitor(bool on);  // the ring is emptied when it closes
    void drainMonitor(std::vector<TapRecord>& out) { ring_.drain(out); }
    uint64_t monitorOverwritten() const { return ring_.overwritten(); }
    // Null stops writing (the file is finished first).
    void setCapture(std::unique_ptr<RecordFile> f);
    void setSerialLog(std::unique_ptr<RecordFile> f);

private:
    void listenIfWanted();  // filesLock_ held
    void replace(std::unique_ptr<RecordFile>& slot, std::unique_ptr<RecordFile> f);

    TrafficRing ring_;
    std::atomic<bool> monitor_{false}, serialWanted_{false}, datagramsWanted_{false};
    std::mutex filesLock_;  // the two pointers; a push under it never blocks
    std::unique_ptr<RecordFile> capture_, serialLog_;
};
