// Applying the settings dialog: port (socket made again at once), mode
// (every on-line DTU taken off line) and relay credentials.
#include "app/Manager.h"

void Manager::applySettings(const SettingsInput& in) {
    int p = strToIntDef(in.localPort.c_str(), INT32_MIN);
    if (p == INT32_MIN) {
        error(notAnInteger(in.localPort));
        return;
    }
    pugi::xml_node sys = sysNode();
    auto set = [&](const char* name, const std::string& value) { setAttr(sys, name, value.c_str()); };
    bool changed = false;
    int inUse = udpPort != 0 ? udpPort : tcpPort;
    if (p > 0 && p < 65535 && p != inUse) {
        if (udpPort == 0) {
            tcpPort = static_cast<uint16_t>(p);
            set("tcpport", std::to_string(p));
        } else {
            udpPort = static_cast<uint16_t>(p);
            set("udpport", std::to_string(p));
        }
        stopNetwork();
        startNetwork();
        changed = true;
    }
    int m = in.mode < 0 || in.mode > 2 ? 2 : in.mode;
    if (m != netMode) {
        std::lock_guard<std::mutex> lk(regLock_);
        for (auto& row : rows_) {
            _tagDTU* dtu = row->dtu;
            if (!dtu || !dtu->online) continue;
            row->cells[ColOn] = OFF_MARK;
            row->cells[ColAddress] = NO_ADDR;
            dtu->addr.Parse(NO_ADDR);
            dtu->queryCount = 0;
            dtu->online = false;
        }
        netMode = m;
        ++headerGen;
        set("mode", std::to_string(m));
        if (m == 0) {
            usrName.clear();
            usrPwd.clear();
            set("usr", "");
            set("pwd", "");
        }
        changed = true;
    }
    if (netMode != 0) {
        std::lock_guard<std::mutex> lk(regLock_);
        if (in.userName != usrName) {
            usrName = in.userName;
            set("usr", usrName);
            changed = true;
        }
        if (in.password != usrPwd) {
            usrPwd = in.password;
            set("pwd", usrPwd);
            changed = true;
        }
        if (changed) ++headerGen;
    }
    if (changed) saveConfig();
}
