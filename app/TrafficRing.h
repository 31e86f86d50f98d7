#pragma once
// The monitor's recent records, handed from the socket and reader threads to
// the window, which takes them in batches. Bounded: past the capacity the
// oldest go.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "app/TapRecord.h"

class TrafficRing {
public:
    static constexpr size_t CAPACITY = 10000;
    explicit TrafficRing(size_t capacity = CAPACITY) : capacity_(capacity) {}

    void push(TapRecord&& r);
    // Moves out everything waiting, oldest first.
    void drain(std::vector<TapRecord>& out);
    void clear();  // a fresh start: the count of overwritten records too
    uint64_t overwritten() const;  // records that went before they were taken

private:
    const size_t capacity_;
    mutable std::mutex mu_;
    std::deque<TapRecord> q_;
    uint64_t overwritten_ = 0;
};
