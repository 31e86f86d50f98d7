#pragma once
// A virtual serial port on a pseudo-terminal: port COMn is the slave side,
// reached through the link <dir>/COMn. The manager keeps a slave descriptor
// of its own (without one the master reports hang-up) and learns when a
// program opens or closes the port from inotify on the slave's device node.
#include <atomic>
#include <mutex>
#include <string>

#include "vsp/VirtualPort.h"

class PtyPort : public IVirtualPort {
public:
    explicit PtyPort(std::string linkDir) : dir_(std::move(linkDir)) {}
    ~PtyPort() override;

    bool CreatePort(const std::string& name) override;
    bool Attach(const std::string& name) override;
    void SetStrictBaudrate(bool on) override { strict_ = on; }
    void SetDSR(bool on) override { dsr_ = on; }
    void SetCTS(bool on) override { cts_ = on; }
    int InQueueCount() override;
    int Read(uint8_t* buf, int count) override;
    int Write(const uint8_t* buf, int count) override;
    void Delete() override;
    bool GetBoolProperty(int dispId) override;
    bool WaitInput(VDEvent& stop, int timeoutMs) override;
    SysError LastError() const override { return error_; }

private:
    bool make(const std::string& name, bool takeOver);
    bool fail(const char* call);  // keeps errno, closes what was made
    void closeAll();
    void handleNotify();

    std::string dir_, link_, slavePath_;
    std::mutex mu_;  // Write against Delete
    int master_ = -1, slave_ = -1, notify_ = -1;
    SysError error_;
    std::atomic<int> users_{0};  // opens by other programs
    std::atomic<bool> dsr_{false}, cts_{false}, strict_{true};
};
