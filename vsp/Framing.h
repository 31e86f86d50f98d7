#pragma once
// Controller frames of the LED display protocols (serProto 2 Kestrel,
// 3 Osprey/Farcomm, 4 Harrier): pure functions over the bytes a serial
// program wrote, which never read past `count`.
#include <cstdint>

// The frame length a complete header announces: 0 before the header is
// complete, -1 when the bytes do not start with the protocol's marker.
int frameAnnounced(uint32_t serProto, const uint8_t* buf, int count);
// Length of the complete frame at the start of buf: >0, 0 for "need more",
// -1 when the bytes do not start with the protocol's marker.
int frameLength(uint32_t serProto, const uint8_t* buf, int count);
// How long the line stays quiet before a burst of protocols 0 and 1 leaves,
// in microseconds: 50 ms, or at the line's speed 3.5 characters of 10 bits
// and at least 2 ms. An unknown speed (0) keeps 50 ms.
int burstGapUs(bool atLineSpeed, int baud);
// The LED number a frame is addressed to (255: every display); -1 when the
// header is not complete.
int frameLed(const uint8_t* frame, int count);
