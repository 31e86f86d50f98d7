#pragma once
// The commands that `vsp-manager list|create|delete|...` sends to the
// running manager, carried out with the same core operations as the window.
#include <string>
#include <vector>

#include "app/Manager.h"
#include "app/MgmtCommands.h"

struct ControlReply {
    int status = 0;
    std::string out;  // for the caller's standard output
    std::string err;  // one line per message, for its standard error
};

class Control {
public:
    // `pump` lets the manager's events run while a DTU's answer is awaited.
    Control(Manager& core, MessageRouter& router, std::string portsDir, MgmtCommands::Pump pump)
        : core_(core), router_(router), portsDir_(std::move(portsDir)), pump_(std::move(pump)) {}

    ControlReply run(const std::vector<std::string>& args);

private:
    ControlReply list(bool json);
    DtuId idOf(const std::string& devNo, ControlReply& r);

    Manager& core_;
    MessageRouter& router_;
    std::string portsDir_;
    MgmtCommands::Pump pump_;
};

// The wire form of a request and a reply on the control socket.
std::string encodeRequest(const std::vector<std::string>& args);
std::vector<std::string> decodeRequest(const std::string& bytes);
std::string encodeReply(const ControlReply& r);
bool decodeReply(const std::string& bytes, ControlReply& r);
// Text as a JSON string literal.
std::string jsonString(const std::string& s);
