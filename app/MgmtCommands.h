#pragma once
// The management commands of the properties dialog without the dialog:
// requests are built, sent and waited for, and answers judged here; the
// dialog forwards clicks and shows the outcome.
#include <functional>
#include <memory>
#include <string>

#include "app/Manager.h"
#include "link/LinkProtocol.h"
#include "link/Mgmt.h"

class MgmtCommands {
public:
    // Runs the window's events for about 50 ms; false once the dialog has closed.
    using Pump = std::function<bool()>;
    enum class Outcome {
        Done,     // the answer was good; its values are here
        Failed,   // a bad answer or bad input: its message was shown
        Timeout,  // no answer in time: the tab shows its red label
        Closed,   // the dialog closed during the wait
        Busy,     // another command is still waiting
    };

    MgmtCommands(Manager& core, DtuId dtu, Pump pump);
    std::shared_ptr<MgmtChannel> channel() const { return ch_; }

    Outcome getState(int waitSeconds);
    uint8_t rssi() const { return state_.rssi(); }
    // Reads the configuration while none was read, saves it afterwards:
    // `baudIndex` -1 sends back the rate read; the host is single-byte text.
    Outcome getOrSaveConfig(int waitSeconds, int baudIndex, const std::string& maxLenText, const std::string& host);
    bool cfgRead() const { return cfgRead_; }
    bool busy() const { return busy_; }
    const DtuConfig& config() const { return cfg_; }
    // Sent without waiting; the message comes whether or not it could go.
    void restart();

private:
    Outcome request(uint8_t type, const uint8_t* body, size_t bodyLen, int waitSeconds);
    void message(const char* text, const char* caption);

    Manager& core_;
    const DtuId dtu_;
    Pump pump_;
    std::shared_ptr<MgmtChannel> ch_;
    DtuStatePkt state_;
    DtuConfig cfg_;
    bool cfgRead_ = false;
    bool busy_ = false;
};
