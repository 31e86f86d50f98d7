#pragma once
// A virtual serial port on a pseudo-terminal: port COMn is the slave side,
// reached through the link <dir>/COMn. The manager keeps a slave descriptor
// of its own (without one the master reports hang-up). Whether a program
// has the port open is looked up again at every open or close that the
// shared watcher reports. What the DTUs send waits in a bounded queue while
// the program reads slower than they send.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/VDEvent.h"
#include "vsp/PtyWatcher.h"
#include "vsp/VirtualPort.h"

// Who may open the ports besides the manager's user (a service's ports for
// a group such as dialout); -1: as the system makes them.
struct PtyAccess {
    int group = -1;
    int mode = -1;
};

class PtyPort : public IVirtualPort {
public:
    // Bytes waiting for a slow program: a 2 MB burst from its DTUs fits with
    // room to spare; memory is taken only while the program lags.
    static constexpr size_t QUEUE_LIMIT = 4 << 20;
    // What a queued datagram costs besides its bytes, counted against the
    // limit, so that a flood of tiny datagrams is bounded in memory too.
    static constexpr size_t ENTRY_COST = 64;

    PtyPort(std::string linkDir, std::shared_ptr<PtyWatcher> watcher, PtyAccess access = {},
            size_t queueLimit = QUEUE_LIMIT)
        : dir_(std::move(linkDir)), watcher_(std::move(watcher)), access_(access), queueLimit_(queueLimit) {}
    ~PtyPort() override;

    bool CreatePort(const std::string& name) override;
    bool Attach(const std::string& name) override;
    void SetStrictBaudrate(bool on) override { strict_ = on; }
    void SetDSR(bool on) override { dsr_ = on; }
    void SetCTS(bool on) override { cts_ = on; }
    int InQueueCount() override;
    int Read(uint8_t* buf, int count) override;
    // Whole datagrams: written now, queued behind what waits, or, past the
    // queue's limit, dropped whole and counted. Returns the bytes taken.
    int Write(const uint8_t* buf, int count) override;
    // Queued (within the same limit) until Flush writes the lot.
    int WriteHeld(const uint8_t* buf, int count) override;
    void Flush() override;
    void Delete() override;
    int LineSpeed() override;
    bool GetBoolProperty(int dispId) override;
    bool WaitInput(VDEvent& stop, int timeoutMs) override;
    SysError LastError() const override { return error_; }

    // Datagrams and bytes dropped because the queue was full.
    uint64_t droppedDatagrams() const { return droppedDatagrams_; }
    uint64_t DroppedBytes() const override { return droppedBytes_; }
    size_t queuedBytes() const;  // payload and bookkeeping, as counted against the limit
    // How often the port has looked at who has it open (tests wait on it).
    uint64_t checks() const { return checks_; }

private:
    bool make(const std::string& name, bool takeOver);
    bool makeLocked(const std::string& name, bool takeOver);
    bool fail(const char* call);  // keeps errno, closes what was made
    void closeAll();
    void recheckUsers();         // watcher thread
    void flushLocked();          // writes what waits, as far as the program takes it
    void endDropBurstLocked(std::string& line);  // the line for the drops of a burst, if any
    // Keeps the datagram's bytes from `done` on, or, past the limit, drops
    // it whole (only when none of it was written). False when dropped.
    bool enqueueLocked(const uint8_t* buf, size_t len, size_t done);

    std::string dir_, link_, name_, slavePath_;
    std::shared_ptr<PtyWatcher> watcher_;
    const PtyAccess access_;
    const size_t queueLimit_;
    mutable std::mutex mu_;  // descriptors, queue, users
    int master_ = -1, slave_ = -1, wd_ = -1;
    SysError error_;
    std::atomic<int> users_{0};  // descriptors of other programs
    std::atomic<uint64_t> checks_{0};
    std::deque<std::vector<uint8_t>> queue_;
    size_t queueFront_ = 0;  // bytes of the first datagram already written
    size_t queued_ = 0;
    uint64_t burstDatagrams_ = 0, burstBytes_ = 0;
    std::atomic<uint64_t> droppedDatagrams_{0}, droppedBytes_{0};
    VDEvent kick_{false};  // the queue has something: the reader waits for room too
    std::atomic<bool> dsr_{false}, cts_{false}, strict_{true};
};

// Ports in `dir`, all watched by one watcher.
std::function<std::shared_ptr<IVirtualPort>()> ptyPortMaker(const std::string& dir, PtyAccess access = {});
