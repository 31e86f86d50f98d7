// Reading Config.xml at start-up with every check, and saving it.
#include <cstring>

#include "app/Manager.h"

namespace {
// Whitespace text between elements: not a child of its own.
bool isBlank(pugi::xml_node n) {
    if (n.type() != pugi::node_pcdata) return false;
    for (const char* p = n.value(); *p; ++p)
        if (!std::strchr(" \t\r\n", *p)) return false;
    return true;
}

// Port rule of udpport and tcpport: negative or not a number means 0.
bool readPortAttr(pugi::xml_node sys, const char* name, uint16_t& field) {
    int v = strToIntDef(sys.attribute(name).value(), -1);
    if (v == 0 || v > 65535) return false;
    field = static_cast<uint16_t>(v < 0 ? 0 : v);
    return true;
}
}  // namespace

LoadResult Manager::loadConfig() {
    LoadResult r = config_.load();
    if (r == LoadResult::Loaded) return r;
    const char* text = r == LoadResult::CannotWrite ? "Can't write config.xml, please check!"
                                                    : "Can't load config.xml, please check!";
    reportCause(config_.fileName(), config_.lastError());
    error(text);
    terminate();
    return r;
}

bool Manager::readSettings() {
    pugi::xml_node sys = config_.sysNode();
    auto fail = [&](const char* text) {
        error(text);
        terminate();
        return false;
    };
    if (!sys) return fail("Config.xml value error, please check!");
    if (!readPortAttr(sys, "udpport", net_.udpPort)) return fail("Config.xml udpport value error, please check!");
    if (!readPortAttr(sys, "tcpport", net_.tcpPort)) return fail("Config.xml tcpport value error, please check!");
    if (net_.udpPort == 0 && net_.tcpPort == 0) return fail("Config.xml port value error, please check!");
    int mode = strToIntDef(sys.attribute("mode").value(), 0);
    if (mode < 0 || mode > 2) return fail("Config.xml value error, please check!");
    for (const char* a : {"udpport", "tcpport", "mode", "usr", "pwd"})
        if (!sys.attribute(a)) return fail("Config.xml value error, please check!");
    net_.netMode = mode;
    net_.setCredentials(sys.attribute("usr").value(), sys.attribute("pwd").value());
    pugi::xml_attribute title = sys.attribute("title");
    if (title && *title.value()) caption = title.value();
    return true;
}

bool Manager::readPorts() {
    for (pugi::xml_node port : config_.root().children()) {
        if (port.type() != pugi::node_element || std::strcmp(port.name(), "CommPort") != 0) continue;
        int n = strToIntDef(port.attribute("port").value(), -1);
        int net = strToIntDef(port.attribute("netproto").value(), -1);
        int app = strToIntDef(port.attribute("appproto").value(), -1);
        int ser = strToIntDef(port.attribute("serproto").value(), -1);
        // Port 255 would be past the table's last record: refused like any bad value.
        if (n <= 0 || n >= PORT_COUNT || net < 0 || net > 2 || app < 0 || app > 2 || ser < 0 || ser > 4) {
            error("Config.xml value error, please check!");
            terminate();
            return false;
        }
        if (!openPort(n, static_cast<uint32_t>(net), static_cast<uint32_t>(app), static_cast<uint32_t>(ser))) {
            reportCause("COM" + std::to_string(n), ports_.lastError());
            error("Create port error, please check!");
        } else {
            ports_.setLineGap(n, std::strcmp(port.attribute("linegap").value(), "1") == 0);
        }
        for (pugi::xml_node child : port.children()) {
            if (isBlank(child)) continue;  // layout between elements
            if (child.type() != pugi::node_element || std::strcmp(child.name(), "DTU") != 0) {
                error("Config.xml format error, please check!");
                continue;
            }
            // Without a number the DTU could match packets with an empty number.
            if (!child.attribute("id")) {
                error("Config.xml value error, please check!");
                terminate();
                return false;
            }
            bool sel = std::strcmp(child.attribute("sel").value(), "1") == 0;
            if (!createDtu(n, child.attribute("id").value(), child.attribute("ip").value(),
                           child.attribute("devids").value(), child.attribute("cmt").value(), sel))
                error("Create dtu error, please check!");
        }
    }
    return true;
}

bool Manager::saveConfig() {
    bool ok = config_.save();
    if (!ok) {
        reportCause(config_.fileName(), config_.lastError());
        msg_.show("Can not write config.xml, please check!", "Error", MsgIcon::Error, MsgButtons::Ok);
        terminate();
    }
    return ok;
}
