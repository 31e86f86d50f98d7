#include "app/MgmtCommands.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace {
constexpr int POLLS_PER_SECOND = 20;  // of 50 ms

// A whole decimal number, blanks around it allowed.
bool wholeNumber(const std::string& text, long long& out) {
    size_t b = 0, e = text.size();
    while (b < e && std::isspace(static_cast<unsigned char>(text[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(text[e - 1]))) --e;
    if (b == e) return false;
    std::string t = text.substr(b, e - b);
    errno = 0;
    char* end = nullptr;
    out = std::strtoll(t.c_str(), &end, 10);
    return errno == 0 && end == t.c_str() + t.size();
}
}  // namespace

MgmtCommands::MgmtCommands(Manager& core, DtuId dtu, Pump pump)
    : core_(core), dtu_(dtu), pump_(std::move(pump)), ch_(std::make_shared<MgmtChannel>(dtu)) {}

void MgmtCommands::message(const char* text, const char* caption) {
    core_.messages().show(text, caption, MsgIcon::None, MsgButtons::Ok);
}

MgmtCommands::Outcome MgmtCommands::request(uint8_t type, const uint8_t* body, size_t bodyLen, int waitSeconds) {
    // The number is read at the moment of sending: a rename may have happened.
    std::vector<uint8_t> req = encodeLinkPacket(core_.dtuView(dtu_).devNo, type, body, bodyLen);
    ch_->begin();
    core_.sendToDtu(dtu_, req.data(), static_cast<int>(req.size()));
    for (int i = 0; ch_->waiting();) {
        if (!pump_()) {
            ch_->cancel();
            return Outcome::Closed;
        }
        if (++i > POLLS_PER_SECOND * waitSeconds) break;
    }
    // The flag, not the count, decides: an answer in the last poll still counts.
    return ch_->cancel() ? Outcome::Timeout : Outcome::Done;
}

MgmtCommands::Outcome MgmtCommands::getState(int waitSeconds) {
    if (busy_) return Outcome::Busy;
    busy_ = true;
    Outcome r = request(DtuGetState, nullptr, 0, waitSeconds);
    if (r == Outcome::Done &&
        parseDtuState(ch_->ioBuf, static_cast<size_t>(ch_->respLen), state_) != Parsed::Complete) {
        message("Get state failed, please retry!", "Error");
        r = Outcome::Failed;
    }
    busy_ = false;
    return r;
}

MgmtCommands::Outcome MgmtCommands::getOrSaveConfig(int waitSeconds, int baudIndex, const std::string& maxLenText,
                                                    const std::string& host) {
    if (busy_) return Outcome::Busy;
    const bool save = cfgRead_;
    DtuConfig next = cfg_;  // what goes back: the bytes read, with the dialog's three values
    if (save) {
        if (baudIndex >= 0 && baudIndex < 5) next.baudRate = baudRates[baudIndex];
        long long maxLen = 0;
        if (!wholeNumber(maxLenText, maxLen)) {
            core_.messages().show(notAnInteger(maxLenText), "Error", MsgIcon::None, MsgButtons::Ok);
            return Outcome::Failed;
        }
        next.maxPacketLen = static_cast<uint16_t>(maxLen);  // kept in 16 bits
        next.setHostText(host);
        cfg_ = next;
    }
    busy_ = true;
    uint8_t body[DTU_CONFIG_SIZE] = {};
    if (save) encodeDtuConfig(body, cfg_);
    Outcome r = request(save ? DtuSetConfig : DtuGetConfig, body, save ? sizeof body : 0, waitSeconds);
    if (r == Outcome::Done) {
        if (save) {
            // An empty answer is judged by what the buffer still holds.
            if (ch_->ioBuf[0] != 0) {
                message("Save configuration sucessfully!", "OK");
            } else {
                message("Save configuration failed, please retry!", "Error");
                r = Outcome::Failed;
            }
        } else if (parseDtuConfig(ch_->ioBuf, static_cast<size_t>(ch_->respLen), cfg_) == Parsed::Complete) {
            cfgRead_ = true;
        } else {
            message("Get configuration failed, please retry!", "Error");
            r = Outcome::Failed;
        }
    }
    busy_ = false;
    return r;
}

void MgmtCommands::restart() {
    std::vector<uint8_t> req = encodeLinkPacket(core_.dtuView(dtu_).devNo, DtuRestart);
    core_.sendToDtu(dtu_, req.data(), static_cast<int>(req.size()));
    message("Restart command has been sent, please wait DTU logon.", "Ok");
}
