// Start-up sequence, exit and shutdown.
#include <arpa/inet.h>
#include <unistd.h>

#include "app/Manager.h"

Manager::Manager(MessageSink& msg, Clock& clock, ManagerOptions opts)
    : msg_(msg),
      clock_(clock),
      opts_(std::move(opts)),
      config_(opts_.cfgFileName),
      reg_([this] { btnSaveSelectEnabled = true; }),
      net_(opts_.makeSocket ? opts_.makeSocket : SocketFactory(makeSystemSocket), *this),
      relay_(reg_, net_, clock_),
      ports_(reg_, net_, clock_, opts_.makePort),
      dispatch_(reg_, net_, relay_, clock_) {
    inet_pton(AF_INET, opts_.relayBuiltinIp.c_str(), net_.relayIp);
    net_.tap = &traffic_;
}

Manager::~Manager() { FormDestroy(); }

bool Manager::initNetwork() {
    char host[256] = {};
    if (gethostname(host, 255) != 0) {
        reportCause("gethostname", SysError::last("gethostname"));
        msg_.show("Error: gethostname()", "VAZevuvo VSP Manager", MsgIcon::Warning, MsgButtons::Ok);
        return false;
    }
    if (!opts_.relayHost.empty()) {
        NameLookup lookup = opts_.lookup ? opts_.lookup : NameLookup(systemLookup);
        uint8_t ip[4];
        if (lookup(opts_.relayHost, ip)) std::copy(ip, ip + 4, net_.relayIp);
    }
    return true;
}

void Manager::FormCreate() {
    if (!initNetwork()) return terminate();
    if (loadConfig() != LoadResult::Loaded) return;
    if (!readSettings()) return;
    if (net_.netMode != 0) {
        const uint8_t* ip = net_.relayIp;
        net_.relayAddr = VDIPAddress(ip[0], ip[1], ip[2], ip[3], net_.udpPort != 0 ? net_.udpPort : net_.tcpPort);
    }
    net_.startNetwork();
    if (net_.netMode == 0) {
        timerRuningEnabled = true;
    } else {
        statusText = "Connecting to server ...";
        relay_.sendRelayLogon();
        timerLogonTOEnabled = true;
    }
    if (!readPorts()) return;
    RegGuard g(reg_.mutex());
    reg_.installCheckHook(g);
}

void Manager::TimerLogonTOTimer() {
    switch (relay_.TimerLogonTOTimer()) {
    case RelaySession::LogonTick::Waiting:
        return;
    case RelaySession::LogonTick::Refused:
        timerLogonTOEnabled = false;
        msg_.show(std::string("Old version! Please use newer program, download URL:\r\n ") + VSP_DOWNLOAD_URL,
                  "Version incompatible", MsgIcon::Warning, MsgButtons::Ok);
        return;
    case RelaySession::LogonTick::Accepted:
        timerLogonTOEnabled = false;
        statusText = "Connect to server OK!";
        timerRuningEnabled = true;
        return;
    }
}

bool Manager::mnuExitClick() {
    for (int n = 0; n < PORT_COUNT; ++n) {
        if (portInUse(n) &&
            msg_.show("Are you sure you want delete all virtual serial ports?", "Warning", MsgIcon::Warning,
                      MsgButtons::YesNo) != MsgAnswer::Yes)
            return false;
    }
    terminate();
    return true;
}

void Manager::FormDestroy() {
    if (destroyed_) return;
    destroyed_ = true;
    // Readers first (they send through the socket), then the socket.
    setPropForm(nullptr);
    for (int n = 0; n < PORT_COUNT; ++n) closePort(n);
    relay_.stop();
    net_.stopNetwork();
    // The files are finished here: the process may end without destructors.
    traffic_.setCapture(nullptr);
    traffic_.setSerialLog(nullptr);
}

_tagDTU* Manager::createDtu(int portNo, const std::string& devNo, const std::string& addrText,
                            const std::string& ledText, const std::string& comment, bool sel) {
    RegGuard g(reg_.mutex());
    return reg_.createDtu(g, portNo, devNo, addrText, ledText, comment, sel);
}

void Manager::removeDtu(DtuId id) {
    int n = 0;
    bool empty = false;
    std::shared_ptr<_tagDTU> gone;  // freed after the lock; a reader still sending holds its own reference
    {
        RegGuard g(reg_.mutex());
        Row* row = reg_.row(g, id);
        if (!row) return;
        n = row->groupId;
        gone = reg_.unlink(g, row->dtu, empty);
    }
    if (empty) closePort(n);
}

int Manager::sendToDtu(DtuId id, const uint8_t* data, int len) {
    VDIPAddress to;
    std::shared_ptr<_tagDTU> dtu;  // the record outlives a deletion while we send
    {
        RegGuard g(reg_.mutex());
        Row* row = reg_.row(g, id);
        if (!row || reg_.port(g, row->groupId).netProto != 0) return 0;
        to = row->dtu->addr;
        dtu = row->dtu->shared_from_this();
    }
    auto s = socket();
    if (!s) return 0;
    int n = s->SendTo(to, data, len);
    if (n >= 0) dtu->txBytes += static_cast<uint32_t>(n);
    return n;
}

Row Manager::rowCopy(DtuId id) {
    RegGuard g(reg_.mutex());
    Row* r = reg_.row(g, id);
    if (!r) return {};
    Row copy = *r;
    copy.dtu = nullptr;
    return copy;
}

DtuView Manager::dtuView(DtuId id) {
    RegGuard g(reg_.mutex());
    Row* r = reg_.row(g, id);
    if (!r) return {};
    return {id, r->groupId, r->dtu->devNo, ledNumsText(r->dtu->ledMap), r->cells[ColComment],
            reg_.port(g, r->groupId).lineGap};
}
