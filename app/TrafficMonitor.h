#pragma once
// The core's side of a monitor window: while it exists the tap fills the
// monitor's ring; take() hands the window what came since, decoded, each
// with the port of its DTU.
#include <vector>

#include "app/PacketView.h"
#include "app/Registry.h"
#include "app/TrafficHub.h"

class TrafficMonitor {
public:
    TrafficMonitor(TrafficHub& hub, Registry& reg) : hub_(hub), reg_(reg) { hub_.setMonitor(true); }
    ~TrafficMonitor() { hub_.setMonitor(false); }
    TrafficMonitor(const TrafficMonitor&) = delete;
    TrafficMonitor& operator=(const TrafficMonitor&) = delete;

    // Window thread; appends to `out`, oldest first.
    void take(std::vector<PacketView>& out);
    // Entries that came faster than the window took them, and went untaken.
    uint64_t missed() const { return hub_.monitorOverwritten(); }

private:
    TrafficHub& hub_;
    Registry& reg_;
    std::vector<TapRecord> raw_;
};
