#pragma once
// Receive dispatch: runs on the socket's worker thread for every packet,
// decides by type and mode which handler runs, and keeps the DTU records up
// to date.
#include <memory>
#include <mutex>
#include <vector>

#include "app/Network.h"
#include "app/RelaySession.h"
#include "app/Registry.h"
#include "link/LinkProtocol.h"
#include "link/Mgmt.h"
#include "net/Clock.h"

class Dispatcher {
public:
    Dispatcher(Registry& reg, Network& net, RelaySession& relay, Clock& clock)
        : reg_(reg), net_(net), relay_(relay), clock_(clock) {}

    // `relayStream`: it came over the stream to the relay, whose only peer is the relay.
    // `hold`: serial data may wait in its port until endBatch.
    void dispatchPacket(const VDIPAddress& from, const uint8_t* data, uint32_t len, bool relayStream = false,
                        bool hold = false);
    // Writes what the packets of one receive call held back in their ports.
    void endBatch();
    // The management channel answers are handed to (null: none).
    void setPropForm(std::shared_ptr<MgmtChannel> channel);
    bool hasPropForm();

private:
    // Relay packets count only when they come from the relay.
    bool fromRelay(const VDIPAddress& from, bool relayStream) const;
    void onDtuLogon(const VDIPAddress& from, const LinkPacket& p, uint32_t len);
    void onDtuData(const VDIPAddress& from, const LinkPacket& p, uint32_t len, bool hold);
    void onRelayDtuState(const uint8_t* data, uint32_t len);
    void onMgmtResponse(const LinkPacket& p, uint32_t len);

    Registry& reg_;
    Network& net_;
    RelaySession& relay_;
    Clock& clock_;
    std::mutex propLock_;
    std::shared_ptr<MgmtChannel> propForm_;
    std::mutex heldLock_;  // a socket being replaced may still deliver
    std::vector<std::shared_ptr<IVirtualPort>> held_;
};
