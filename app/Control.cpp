#include "app/Control.h"

#include <cstdio>
#include <cstdlib>

namespace {
const char* const USAGE =
    "usage: vsp-manager COMMAND [ARGS]   (talks to the running manager)\n"
    "  list [--json]                      the DTUs as the window lists them\n"
    "  create COMn DEVICE [--comment T]   a DTU (and its port when new)\n"
    "  delete DEVICE                      a DTU (its port goes with its last DTU)\n"
    "  select DEVICE | deselect DEVICE    its check mark\n"
    "  save-select                        keeps the check marks in Config.xml\n"
    "  state DEVICE [--wait S]            asks the DTU for its signal strength (S: 1-9, default 3)\n"
    "  restart DEVICE                     asks the DTU to restart\n"
    "  wine-map [PREFIX]                  links PREFIX/dosdevices/comN to each port (default ~/.wine)\n";

// Messages of the core while a command runs: errors and warnings are the
// command's failure, other captions its result; questions are answered yes,
// since the command itself was the user's answer.
class CommandMessages : public MessageSink {
public:
    explicit CommandMessages(ControlReply& r) : r_(r) {}
    MsgAnswer show(const std::string& text, const std::string& caption, MsgIcon, MsgButtons buttons) override {
        if (buttons == MsgButtons::YesNo) return MsgAnswer::Yes;
        std::string line = text;
        for (char& ch : line)
            if (ch == '\r' || ch == '\n') ch = ' ';
        if (caption == "Error" || caption == "Warning") {
            r_.err += line + "\n";
            r_.status = 1;
        } else {
            r_.out += line + "\n";
        }
        return MsgAnswer::Ok;
    }

private:
    ControlReply& r_;
};

ControlReply failure(const std::string& text, int status = 2) {
    ControlReply r;
    r.status = status;
    r.err = text + "\n";
    return r;
}

bool portNumber(const std::string& text, int& n) {
    if (text.size() < 4 || text.compare(0, 3, "COM") != 0) return false;
    char* end = nullptr;
    long v = std::strtol(text.c_str() + 3, &end, 10);
    if (*end || v < 1 || v > 254) return false;
    n = static_cast<int>(v);
    return true;
}
}  // namespace

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

DtuId Control::idOf(const std::string& devNo, ControlReply& r) {
    DtuId id = 0;
    core_.withRows([&](const auto& rows, const auto&) {
        for (const auto& row : rows)
            if (row->caption == devNo && !id) id = row->seq;
    });
    if (!id) {
        r.status = 1;
        r.err += "no DTU " + devNo + "\n";
    }
    return id;
}

ControlReply Control::list(bool json) {
    ControlReply r;
    if (!json) r.out = "PORT\tDEVICE\tON\tADDRESS\tLAST LOGON\tTX\tRX\tLEDS\tCOMMENT\tSELECTED\tLINE GAP\tDROPPED\n";
    else r.out = "[";
    bool first = true;
    const std::vector<PortBridge::PortState> ports = core_.portStates();
    core_.withRows([&](const std::vector<std::unique_ptr<Row>>& rows, const std::vector<int>& groups) {
        // Rows by port in one pass, then the ports in the window's order.
        std::vector<std::vector<const Row*>> byPort(PORT_COUNT);
        for (const auto& row : rows)
            if (row->groupId > 0 && row->groupId < PORT_COUNT) byPort[static_cast<size_t>(row->groupId)].push_back(row.get());
        for (int g : groups)
            for (const Row* row : byPort[static_cast<size_t>(g)]) {
                const auto& c = row->cells;
                const bool on = c[ColOn] == ON_MARK;
                const bool gap = ports[static_cast<size_t>(g)].lineGap;
                const std::string drops = std::to_string(ports[static_cast<size_t>(g)].dropped);
                std::string leds = c[ColController] == " " ? "" : c[ColController];
                if (json) {
                    r.out += std::string(first ? "" : ",") + "\n {\"port\": \"COM" + std::to_string(g) +
                             "\", \"device\": " + jsonString(row->caption) + ", \"online\": " +
                             (on ? "true" : "false") + ", \"address\": " + jsonString(c[ColAddress]) +
                             ", \"lastLogon\": " + jsonString(c[ColLastLogon]) + ", \"tx\": " + c[ColTx] +
                             ", \"rx\": " + c[ColRx] + ", \"leds\": " + jsonString(leds) +
                             ", \"comment\": " + jsonString(c[ColComment]) + ", \"selected\": " +
                             (row->checked ? "true" : "false") + ", \"lineGap\": " + (gap ? "true" : "false") + ", \"dropped\": " + drops + "}";
                } else {
                    r.out += "COM" + std::to_string(g) + "\t" + row->caption + "\t" + (on ? "yes" : "no") + "\t" +
                             c[ColAddress] + "\t" + c[ColLastLogon] + "\t" + c[ColTx] + "\t" + c[ColRx] + "\t" +
                             leds + "\t" + c[ColComment] + "\t" + (row->checked ? "yes" : "no") + "\t" +
                             (gap ? "yes" : "no") + "\t" + drops + "\n";
                }
                first = false;
            }
    });
    if (json) r.out += first ? "]\n" : "\n]\n";
    return r;
}

ControlReply Control::run(const std::vector<std::string>& args) {
    if (args.empty() || args[0] == "--help" || args[0] == "help") {
        ControlReply r;
        r.out = USAGE;
        return r;
    }
    const std::string& cmd = args[0];
    const size_t n = args.size();
    auto wantsHelp = [&] {
        for (const std::string& a : args)
            if (a == "--help") return true;
        return false;
    };
    if (wantsHelp()) {
        ControlReply r;
        r.out = USAGE;
        return r;
    }
    ControlReply r;
    CommandMessages messages(r);
    MessageSink* before = router_.route(&messages);
    struct Restore {
        MessageRouter& router;
        MessageSink* to;
        ~Restore() { router.route(to); }
    } restore{router_, before};

    if (cmd == "list" && (n == 1 || (n == 2 && args[1] == "--json"))) return list(n == 2);
    if (cmd == "ports" && n == 1) {
        core_.withRows([&](const auto&, const std::vector<int>& groups) {
            for (int g : groups) r.out += "COM" + std::to_string(g) + "\t" + portsDir_ + "/COM" + std::to_string(g) + "\n";
        });
        return r;
    }
    if (cmd == "create" && (n == 3 || (n == 5 && args[3] == "--comment"))) {
        int port = 0;
        if (!portNumber(args[1], port)) return failure("vsp-manager create: no port " + args[1] + " (COM1 to COM254)");
        if (idOf(args[2], r)) return failure("vsp-manager create: " + args[2] + " exists already", 1);
        r = {};
        core_.btnCreatePortDtuClick(args[2], port, n == 5 ? args[4] : "");
        return r;
    }
    if ((cmd == "delete" || cmd == "select" || cmd == "deselect" || cmd == "state" || cmd == "restart") && n >= 2) {
        DtuId id = idOf(args[1], r);
        if (!id) return r;
        if (cmd == "delete" && n == 2) {
            core_.BtnDelDtuClick({id});
            return r;
        }
        if ((cmd == "select" || cmd == "deselect") && n == 2) {
            core_.setChecked(id, cmd == "select");
            return r;
        }
        if (cmd == "restart" && n == 2) {
            MgmtCommands(core_, id, pump_).restart();
            return r;
        }
        int wait = 3;
        if (cmd == "state" && (n == 2 || (n == 4 && args[2] == "--wait"))) {
            if (n == 4) wait = std::atoi(args[3].c_str());
            if (wait < 1 || wait > 9) return failure("vsp-manager state: --wait takes 1 to 9 seconds");
            // One exchange with DTUs at a time: the window's dialog has the channel.
            if (core_.propFormOpen()) return failure("vsp-manager state: a properties dialog is open", 1);
            // While it waits, the window's own messages go to the window.
            MgmtCommands cmds(core_, id, [&] {
                router_.route(before);
                bool going = pump_();
                router_.route(&messages);
                return going;
            });
            core_.setPropForm(cmds.channel());
            MgmtCommands::Outcome o = cmds.getState(wait);
            core_.setPropForm(nullptr);
            if (o == MgmtCommands::Outcome::Done) r.out += "RSSI " + std::to_string(cmds.rssi()) + "\n";
            if (o == MgmtCommands::Outcome::Timeout) {
                r.err += "Response timeout!\n";
                r.status = 1;
            }
            return r;
        }
    }
    if (cmd == "save-select" && n == 1) {
        core_.BtnSaveSelectClick();
        return r;
    }
    return failure(std::string("vsp-manager: bad command or arguments\n") + USAGE);
}

std::string encodeRequest(const std::vector<std::string>& args) {
    std::string out;
    for (const std::string& a : args) out += a + '\0';
    return out;
}

std::vector<std::string> decodeRequest(const std::string& bytes) {
    std::vector<std::string> args;
    size_t at = 0;
    while (at < bytes.size()) {
        size_t end = bytes.find('\0', at);
        if (end == std::string::npos) end = bytes.size();
        args.push_back(bytes.substr(at, end - at));
        at = end + 1;
    }
    return args;
}

// "status\n", the size of `out` and "\n", then `out`, then `err`.
std::string encodeReply(const ControlReply& r) {
    return std::to_string(r.status) + "\n" + std::to_string(r.out.size()) + "\n" + r.out + r.err;
}

bool decodeReply(const std::string& bytes, ControlReply& r) {
    size_t a = bytes.find('\n');
    if (a == std::string::npos) return false;
    size_t b = bytes.find('\n', a + 1);
    if (b == std::string::npos) return false;
    r.status = std::atoi(bytes.substr(0, a).c_str());
    size_t outLen = std::strtoul(bytes.substr(a + 1, b - a - 1).c_str(), nullptr, 10);
    if (b + 1 + outLen > bytes.size()) return false;
    r.out = bytes.substr(b + 1, outLen);
    r.err = bytes.substr(b + 1 + outLen);
    return true;
}
