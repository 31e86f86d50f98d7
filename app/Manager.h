#pragma once
// The controller of the whole manager, free of any window toolkit: a facade
// over the collaborators that each do one job (registry, Config.xml,
// network, relay session, ports, dispatch), keeping the operation names the
// window knows. The window drives it from its own thread and names DTUs by
// id; the socket worker and the port readers call in.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ConfigStore.h"
#include "app/Dispatcher.h"
#include "app/Messages.h"
#include "app/Network.h"
#include "app/PortBridge.h"
#include "app/RelaySession.h"
#include "app/Registry.h"
#include "app/TrafficHub.h"
#include "link/Mgmt.h"
#include "net/Clock.h"

struct ManagerOptions {
    std::string cfgFileName;      // the executable's folder + "/Config.xml"
    std::string relayHost;        // resolved at start-up; empty: not looked up
    std::string relayBuiltinIp;   // used when relayHost does not resolve
    PortMaker makePort;
    SocketFactory makeSocket;     // empty: the system's sockets
    NameLookup lookup;            // empty: the system's resolver
};

// What the properties dialog hands back when it closes with "Ok".
struct PropResult {
    bool protoChanged = false;
    int proto = 0;
    bool fieldsChanged = false;
    std::string devNo, ledNums, comment;
    bool lineGapChanged = false;
    bool lineGap = false;  // bursts end at the line's speed
};

// What the settings dialog hands back when it closes with "Ok".
struct SettingsInput {
    std::string localPort;
    int mode = 0;
    std::string userName, password;
};

// A DTU as the properties dialog shows it.
struct DtuView {
    DtuId id = 0;
    int portNo = 0;
    std::string devNo, ledNums, comment;
    bool lineGap = false;  // of its port
};

class Manager : public TCommLink {
public:
    Manager(MessageSink& msg, Clock& clock, ManagerOptions opts);
    ~Manager() override;

    Registry& registry() { return reg_; }
    Network& net() { return net_; }
    const Network& net() const { return net_; }
    RelaySession& relay() { return relay_; }
    ConfigStore& config() { return config_; }
    TrafficHub& traffic() { return traffic_; }

    // --- start-up and shutdown (window thread)
    void FormCreate();
    bool initNetwork();
    bool mnuExitClick();  // true: the program may end
    void FormDestroy();   // closes every port, stops the network; safe twice

    // --- registry (window thread); takes the lock itself
    _tagDTU* createDtu(int portNo, const std::string& devNo, const std::string& addrText,
                       const std::string& ledText, const std::string& comment, bool sel);
    // Takes the DTU and its row out; the port closes with its last DTU.
    void removeDtu(DtuId id);

    // --- Config.xml
    LoadResult loadConfig();  // shows the message of a failure
    bool readSettings();
    bool readPorts();
    bool saveConfig();

    // --- ports
    bool openPort(int n, uint32_t netProto, uint32_t appProto, uint32_t serProto) {
        return ports_.openPort(n, netProto, appProto, serProto);
    }
    void closePort(int n) { ports_.closePort(n); }
    bool portOpen(int n) const { return ports_.portOpen(n); }
    bool portInUse(int n) const { return ports_.portInUse(n); }
    uint32_t portSerProto(int n) const { return ports_.portSerProto(n); }
    bool portLineGap(int n) const { return ports_.portLineGap(n); }
    std::vector<PortBridge::PortState> portStates() const { return ports_.portStates(); }

    // --- link protocol
    void OnOpen(VDAsyncSocket*) override {}
    void OnReceive(VDAsyncSocket* sock, const VDIPAddress* from, const uint8_t* data, uint32_t len) override {
        dispatch_.dispatchPacket(*from, data, len, sock && sock->RelayStream(), true);
    }
    void OnBatchEnd(VDAsyncSocket*) override { dispatch_.endBatch(); }
    void OnClose(VDAsyncSocket*) override {}
    void dispatchPacket(const VDIPAddress& from, const uint8_t* data, uint32_t len) {
        dispatch_.dispatchPacket(from, data, len);
    }
    void sendRelayLogon() { relay_.sendRelayLogon(); }
    void TimerLogonTOTimer();
    void TimerRuningTimer() { relay_.TimerRuningTimer(); }
    // Sends one management request to the DTU and counts it: bytes sent, 0
    // when nothing could go, or the socket's failure value.
    int sendToDtu(DtuId id, const uint8_t* data, int len);
    // Sets the management channel the dispatch hands answers to (null: none).
    void setPropForm(std::shared_ptr<MgmtChannel> channel) { dispatch_.setPropForm(std::move(channel)); }
    bool propFormOpen() { return dispatch_.hasPropForm(); }

    // --- window actions on rows (window thread)
    void setChecked(DtuId id, bool checked);  // reports the change like the list does
    void VSPListViewClick(DtuId id);
    void BtnSelectAllClick(DtuId first);
    void BtnDeselectAllClick(DtuId first);
    void saveSelection();
    void BtnSaveSelectClick();
    // Returns the id of the existing row with that device number (to be selected), or 0.
    DtuId btnCreatePortDtuClick(const std::string& devNo, int comNumber, const std::string& comment);
    void BtnDelDtuClick(const std::vector<DtuId>& selected);
    void applyEdit(DtuId id, const PropResult& r);
    void applySettings(const SettingsInput& in);

    // --- reading (any thread): f runs under the registry lock
    template <class F> void withRows(F f) {
        RegGuard g(reg_.mutex());
        f(reg_.rows(g), reg_.groups(g));
    }
    // A copy of the row (its record pointer cleared); an empty caption when gone.
    Row rowCopy(DtuId id);
    DtuView dtuView(DtuId id);
    std::shared_ptr<VDAsyncSocket> socket() const { return net_.socket(); }
    MessageSink& messages() { return msg_; }
    void credentials(std::string& user, std::string& pwd) const { net_.credentials(user, pwd); }

    // --- what the window shows; window thread only
    std::string caption = "Vardo Mobile Virtual Serial Port Manager";
    std::string statusText = "Ready";
    bool btnSelectAllEnabled = false;
    bool btnSaveSelectEnabled = false;
    bool timerRuningEnabled = false;
    bool timerLogonTOEnabled = false;
    bool terminateRequested = false;

private:
    void terminate() { terminateRequested = true; }
    void error(const std::string& text) { msg_.show(text, "Error", MsgIcon::None, MsgButtons::Ok); }

    MessageSink& msg_;
    Clock& clock_;
    ManagerOptions opts_;
    ConfigStore config_;
    TrafficHub traffic_;  // before the network and the ports, which tap into it
    Registry reg_;
    Network net_;
    RelaySession relay_;
    PortBridge ports_;
    Dispatcher dispatch_;
    bool destroyed_ = false;
};
