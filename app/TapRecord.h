#pragma once
// One datagram or serial chunk as the tap saw it, copied off the data path.
#include <cstdint>
#include <vector>

#include "net/TrafficTap.h"
#include "net/VDIPAddress.h"

struct TapRecord {
    int64_t usec = 0;  // wall clock, microseconds since 1970
    TapDir dir = TapDir::Tx;
    bool serial = false;  // a port's serial side; else a datagram
    bool stream = false;  // a chunk of the stream to the relay
    int port = 0;         // serial: the COM number
    VDIPAddress local, peer;
    std::vector<uint8_t> bytes;
};

int64_t tapNowUsec();
