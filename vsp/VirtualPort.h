#pragma once
// What the manager needs of a virtual serial port. The PTY implementation is
// in PtyPort; tests may bring their own.
#include <cstdint>
#include <memory>
#include <string>

#include "net/SysError.h"

class VDEvent;

class IVirtualPort {
public:
    virtual ~IVirtualPort() = default;
    virtual bool CreatePort(const std::string& name) = 0;  // fails when the name exists
    virtual bool Attach(const std::string& name) = 0;      // takes over a stale port of ours
    virtual void SetStrictBaudrate(bool on) = 0;
    virtual void SetDSR(bool on) = 0;
    virtual void SetCTS(bool on) = 0;
    virtual int InQueueCount() = 0;  // bytes the serial program wrote, waiting for Read
    virtual int Read(uint8_t* buf, int count) = 0;
    virtual int Write(const uint8_t* buf, int count) = 0;  // to the serial program
    // Like Write, but the bytes may wait for Flush: the datagrams of one
    // receive call reach the program in one system call.
    virtual int WriteHeld(const uint8_t* buf, int count) { return Write(buf, count); }
    virtual void Flush() {}
    virtual void Delete() = 0;
    // Bits per second the serial program set on the port; 0 when unknown.
    virtual int LineSpeed() { return 0; }
    // Bytes from the DTUs dropped because the program read too slowly.
    virtual uint64_t DroppedBytes() const { return 0; }
    // Property 7: another program has the port open.
    virtual bool GetBoolProperty(int dispId) = 0;
    // Waits until serial data may be waiting (or the port's state changed),
    // `stop` is set, or timeoutMs (-1: no limit) passes. False when stopped.
    virtual bool WaitInput(VDEvent& stop, int timeoutMs) = 0;
    // The system call that made the last CreatePort or Attach fail.
    virtual SysError LastError() const { return {}; }
};
