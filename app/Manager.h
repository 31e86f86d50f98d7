#pragma once
// The controller of the whole manager, free of any window toolkit: settings,
// the port and DTU registry with its list rows, Config.xml, the network
// socket, the link protocol, the ports and their readers. The window drives
// it from its own thread; the socket worker and the port readers call in.
#include <pugixml.hpp>

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/Clock.h"
#include "app/Messages.h"
#include "app/Registry.h"
#include "link/Mgmt.h"
#include "net/VDAsyncSocket.h"

struct ManagerOptions {
    std::string cfgFileName;      // the executable's folder + "/Config.xml"
    std::string relayHost;        // resolved at start-up; empty: not looked up
    std::string relayBuiltinIp;   // used when relayHost does not resolve
    std::function<std::shared_ptr<IVirtualPort>()> makePort;
};

// What the properties dialog hands back when it closes with "Ok".
struct PropResult {
    bool protoChanged = false;
    int proto = 0;
    bool fieldsChanged = false;
    std::string devNo, ledNums, comment;
};

// What the settings dialog hands back when it closes with "Ok".
struct SettingsInput {
    std::string localPort;
    int mode = 0;
    std::string userName, password;
};

class Manager : public TCommLink {
public:
    Manager(MessageSink& msg, Clock& clock, ManagerOptions opts);
    ~Manager() override;

    // --- start-up and shutdown (window thread)
    void FormCreate();
    bool initNetwork();
    void startNetwork();
    void stopNetwork();
    bool mnuExitClick();  // true: the program may end
    void FormDestroy();   // closes every port, stops the network; safe twice

    // --- registry (window thread unless noted)
    _tagDTU* createDtu(int portNo, const std::string& devNo, const std::string& addrText,
                       const std::string& ledText, const std::string& comment, bool sel);
    _tagDTU* findDtu(const char* devNo);  // registry lock held; any thread
    void removeDtu(_tagDTU* dtu);

    // --- Config.xml
    int loadConfig();
    bool readSettings();
    bool readPorts();
    bool saveConfig();

    // --- ports
    bool openPort(int n, uint32_t netProto, uint32_t appProto, uint32_t serProto);
    void closePort(int n);
    bool portOpen(int n) const;
    bool portInUse(int n) const;  // another program has the port open

    // --- link protocol
    void OnOpen(VDAsyncSocket*) override {}
    void OnReceive(VDAsyncSocket* s, const VDIPAddress* from, const uint8_t* data, uint32_t len) override;
    void OnClose(VDAsyncSocket*) override {}
    void dispatchPacket(const VDIPAddress& from, const uint8_t* data, uint32_t len);
    void sendRelayLogon();
    void TimerLogonTOTimer();
    void TimerRuningTimer();
    int sendToDtu(_tagDTU* dtu, const uint8_t* data, int len);

    // --- window actions on rows (window thread)
    void setChecked(Row* row, bool checked);  // reports the change like the list does
    void VSPListViewClick(Row* row);
    void BtnSelectAllClick(Row* first);
    void BtnDeselectAllClick(Row* first);
    void saveSelection();
    void BtnSaveSelectClick();
    // Returns the existing row with that device number (to be selected), or null.
    Row* btnCreatePortDtuClick(const std::string& devNo, int comNumber, const std::string& comment);
    void BtnDelDtuClick(const std::vector<Row*>& selected);
    void applyEdit(Row* row, const PropResult& r);
    void applySettings(const SettingsInput& in);
    // Sets the management channel the dispatch hands answers to (null: none).
    void setPropForm(std::shared_ptr<MgmtChannel> channel);

    // --- reading the rows: f runs under the registry lock (any thread)
    template <class F> void withRows(F f) const {
        std::lock_guard<std::mutex> lk(regLock_);
        f(rows_, groups_);
    }
    std::shared_ptr<VDAsyncSocket> socket() const;
    uint32_t portSerProto(int n) const;
    Row rowCopy(const Row* row) const;
    std::mutex& registryLock() const { return regLock_; }
    MessageSink& messages() { return msg_; }
    void credentials(std::string& user, std::string& pwd) const;  // relay user and password, any thread

    // --- settings and network state
    uint16_t udpPort = 21012;
    uint16_t tcpPort = 21012;
    std::atomic<int> netMode{0};
    std::string usrName, usrPwd;  // under the registry lock once ports run
    uint8_t relayIp[4] = {0, 0, 0, 0};
    VDIPAddress relayAddr;
    std::atomic<bool> logonOk{false};
    std::atomic<int32_t> keepAliveTicks{0};
    std::atomic<uint16_t> serverVersion{0};
    // Raised when the mode or the relay credentials change, so that port
    // readers prepare their packet header again before the next burst.
    std::atomic<uint32_t> headerGen{0};
    // The relay's version is too new: nothing more is sent to it.
    std::atomic<bool> relayRefused{false};
    bool netStarted = false;
    std::string cfgFileName;

    // --- what the window shows; window thread only
    std::string caption = "Vardo Mobile Virtual Serial Port Manager";
    std::string statusText = "Ready";
    bool btnSelectAllEnabled = false;
    bool btnSaveSelectEnabled = false;
    bool timerRuningEnabled = false;
    bool timerLogonTOEnabled = false;
    bool terminateRequested = false;
    int logonTicks = 0;
    int relayTicks = 0;

private:
    friend uint32_t portReader(void* rec);
    void terminate() { terminateRequested = true; }
    void error(const std::string& text) { msg_.show(text, "Error", MsgIcon::None, MsgButtons::Ok); }
    void onCheckChanged(Row* row, bool checked);  // registry lock held
    pugi::xml_node sysNode();
    pugi::xml_node portNode(int n);
    void setCheckedLocked(Row* row, bool checked);
    void addGroupLocked(int n);
    void sendToRelay(const uint8_t* data, int len);
    void onDtuLogon(const VDIPAddress& from, const uint8_t* p, uint32_t len);
    void onDtuData(const VDIPAddress& from, const uint8_t* p, uint32_t len);
    void onRelayLogonAnswer(const uint8_t* p, uint32_t len);
    void onRelayDtuState(const uint8_t* p, uint32_t len);

    MessageSink& msg_;
    Clock& clock_;
    ManagerOptions opts_;
    pugi::xml_document doc_;

    mutable std::mutex regLock_;  // records, lists, rows; short work only
    std::array<_tagVSP, PORT_COUNT> vsp_;
    std::vector<std::unique_ptr<Row>> rows_;
    std::vector<int> groups_;  // port numbers in the order their groups were added
    uint64_t rowSeq_ = 0;
    bool checkHook_ = false;
    bool inCheckChange_ = false;

    mutable std::mutex sockLock_;
    std::shared_ptr<VDAsyncSocket> netSocket_;

    std::mutex propLock_;
    std::shared_ptr<MgmtChannel> propForm_;
    bool destroyed_ = false;
};

uint32_t portReader(void* rec);
// Length of the complete frame at the start of buf: >0, 0 for "need more",
// -1 when the bytes do not start with the protocol's marker.
int frameLength(uint32_t serProto, const uint8_t* buf, int count);
// The length the frame's header announces, complete or not (0: header incomplete).
int frameAnnounced(uint32_t serProto, const uint8_t* buf, int count);
// Sets an attribute, adding it when a hand-written file lacks it.
void setAttr(pugi::xml_node n, const char* name, const char* value);
// Decimal conversion with a default, as the loader reads numbers.
int strToIntDef(const char* text, int def);
