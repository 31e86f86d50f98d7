// Config.xml: loading with every check, and saving without ever leaving a
// broken file behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "app/Manager.h"

namespace {

const char DEFAULT_CONFIG[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<VSPConfig>\r\n"
    "<Sys udpport=\"21012\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\" />\r\n"
    "</VSPConfig>";

constexpr unsigned PARSE_FLAGS =
    pugi::parse_default | pugi::parse_declaration | pugi::parse_comments | pugi::parse_ws_pcdata;

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

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

void setAttr(pugi::xml_node n, const char* name, const char* value) {
    pugi::xml_attribute a = n.attribute(name);
    if (!a) a = n.append_attribute(name);
    a.set_value(value);
}

int strToIntDef(const char* text, int def) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) return def;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(p, &end, 10);
    if (end == p || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return def;
    if (*p == ' ' || *p == '\t') return def;
    return static_cast<int>(v);
}

// Writes `data` to a new file beside `file` and renames it over `file`: a
// crash at any moment leaves the old content or the new, never a part.
// 0 on success, 1 when the new file cannot be made, 2 when writing fails.
static int replaceFile(const std::string& file, const std::string& data) {
    std::string tmp = file + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 1;
    bool ok = writeAll(fd, data) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && rename(tmp.c_str(), file.c_str()) == 0;
    if (!ok) unlink(tmp.c_str());
    return ok ? 0 : 2;
}

int Manager::loadConfig() {
    const std::string& file = cfgFileName;
    if (access(file.c_str(), F_OK) != 0) {
        int r = replaceFile(file, DEFAULT_CONFIG);
        if (r == 1) {
            error("Can't load config.xml, please check!");
            terminate();
            return 2;
        }
        if (r == 2) {
            error("Can't write config.xml, please check!");
            terminate();
            return 3;
        }
    }
    if (!doc_.load_file(file.c_str(), PARSE_FLAGS, pugi::encoding_auto) || !doc_.document_element()) {
        error("Can't load config.xml, please check!");
        terminate();
        return 1;
    }
    return 0;
}

pugi::xml_node Manager::sysNode() { return doc_.document_element().child("Sys"); }

bool Manager::readSettings() {
    pugi::xml_node sys = sysNode();
    auto fail = [&](const char* text) {
        error(text);
        terminate();
        return false;
    };
    if (!sys) return fail("Config.xml value error, please check!");
    if (!readPortAttr(sys, "udpport", udpPort)) return fail("Config.xml udpport value error, please check!");
    if (!readPortAttr(sys, "tcpport", tcpPort)) return fail("Config.xml tcpport value error, please check!");
    if (udpPort == 0 && tcpPort == 0) return fail("Config.xml port value error, please check!");
    int mode = strToIntDef(sys.attribute("mode").value(), 0);
    if (mode < 0 || mode > 2) return fail("Config.xml value error, please check!");
    for (const char* a : {"udpport", "tcpport", "mode", "usr", "pwd"})
        if (!sys.attribute(a)) return fail("Config.xml value error, please check!");
    netMode = mode;
    {
        std::lock_guard<std::mutex> lk(regLock_);
        usrName = sys.attribute("usr").value();
        usrPwd = sys.attribute("pwd").value();
    }
    pugi::xml_attribute title = sys.attribute("title");
    if (title && *title.value()) caption = title.value();
    return true;
}

bool Manager::readPorts() {
    for (pugi::xml_node port : doc_.document_element().children()) {
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
        if (!openPort(n, static_cast<uint32_t>(net), static_cast<uint32_t>(app), static_cast<uint32_t>(ser)))
            error("Create port error, please check!");
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
    // The save writes UTF-8 whatever the file said before, so its declaration must say so too.
    pugi::xml_node decl = doc_.first_child();
    if (decl.type() == pugi::node_declaration) setAttr(decl, "encoding", "utf-8");
    StringWriter w;
    doc_.save(w, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    bool ok = replaceFile(cfgFileName, w.out) == 0;
    if (!ok) {
        msg_.show("Can not write config.xml, please check!", "Error", MsgIcon::Error, MsgButtons::Ok);
        terminate();
    }
    return ok;
}

pugi::xml_node Manager::portNode(int n) {
    for (pugi::xml_node port : doc_.document_element().children("CommPort"))
        if (strToIntDef(port.attribute("port").value(), -1) == n) return port;
    return {};
}
