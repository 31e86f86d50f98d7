#pragma once
// The relay logon with its repetition and version check, and the
// once-a-second supervision: rows follow the records, silent DTUs time out,
// and in the relay modes off-line DTUs are queried and the keep-alive is sent.
#include <atomic>
#include <cstdint>

#include "app/Network.h"
#include "app/RelayPacer.h"
#include "app/Registry.h"
#include "link/LinkProtocol.h"
#include "net/Clock.h"

class RelaySession {
public:
    RelaySession(Registry& reg, Network& net, Clock& clock) : reg_(reg), net_(net), clock_(clock), pacer_(net) {}

    void sendRelayLogon();
    enum class LogonTick { Waiting, Accepted, Refused };
    LogonTick TimerLogonTOTimer();
    void TimerRuningTimer();
    // The relay's answer to a logon (socket thread).
    void onLogonAnswer(const RelayLogonAnswerPkt& a);
    // Ends the paced sending; before the socket goes.
    void stop() { pacer_.stop(); }
    // True once the queries of past ticks have all gone out.
    bool waitPaced(int timeoutMs) { return pacer_.waitIdle(timeoutMs); }

    std::atomic<bool> logonOk{false};
    std::atomic<int32_t> keepAliveTicks{0};
    std::atomic<uint16_t> serverVersion{0};
    int logonTicks = 0;  // window thread
    int relayTicks = 0;  // window thread

private:
    Registry& reg_;
    Network& net_;
    Clock& clock_;
    RelayPacer pacer_;
};
