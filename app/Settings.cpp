// Applying the settings dialog: port (socket made again at once), mode
// (every on-line DTU taken off line) and relay credentials.
#include "app/Manager.h"

void Manager::applySettings(const SettingsInput& in) {
    int p = strToIntDef(in.localPort.c_str(), INT32_MIN);
    if (p == INT32_MIN) {
        error(notAnInteger(in.localPort));
        return;
    }
    pugi::xml_node sys = config_.sysNode();
    auto set = [&](const char* name, const std::string& value) { setAttr(sys, name, value.c_str()); };
    bool changed = false;
    int inUse = net_.udpPort != 0 ? net_.udpPort : net_.tcpPort;
    if (p > 0 && p < 65535 && p != inUse) {
        if (net_.udpPort == 0) {
            net_.tcpPort = static_cast<uint16_t>(p);
            set("tcpport", std::to_string(p));
        } else {
            net_.udpPort = static_cast<uint16_t>(p);
            set("udpport", std::to_string(p));
        }
        net_.stopNetwork();
        net_.startNetwork();
        changed = true;
    }
    int m = in.mode < 0 || in.mode > 2 ? 2 : in.mode;
    if (m != net_.netMode) {
        RegGuard g(reg_.mutex());
        for (auto& row : reg_.rows(g)) {
            _tagDTU* dtu = row->dtu;
            if (!dtu || !dtu->online) continue;
            row->cells[ColOn] = OFF_MARK;
            row->showAddress(VDIPAddress());
            dtu->addr.Parse(NO_ADDR);
            dtu->queryCount = 0;
            dtu->online = false;
        }
        net_.netMode = m;
        ++net_.headerGen;
        set("mode", std::to_string(m));
        if (m == 0) {
            net_.setCredentials("", "");
            set("usr", "");
            set("pwd", "");
        }
        changed = true;
    }
    if (net_.netMode != 0) {
        std::string user, pwd;
        net_.credentials(user, pwd);
        if (in.userName != user || in.password != pwd) {
            if (in.userName != user) set("usr", in.userName);
            if (in.password != pwd) set("pwd", in.password);
            net_.setCredentials(in.userName, in.password);
            changed = true;
        }
        if (changed) ++net_.headerGen;
    }
    if (changed) saveConfig();
}
