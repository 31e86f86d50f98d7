#pragma once
// The manager without a window: the same core and Config.xml, every message
// one line on standard error, the two timers on the event loop. Where the
// window would wait for "OK", it goes on.
#include <QObject>
#include <QTimer>
#include <memory>
#include <string>

#include "app/Manager.h"

class HeadlessManager : public QObject {
public:
    HeadlessManager(const std::string& folder, Clock& clock, ManagerOptions opts);
    ~HeadlessManager() override;

    // Start-up; false when it ended the program (its message was written).
    bool FormCreate();
    Manager& core() { return *core_; }
    MessageRouter& router() { return router_; }
    void sync();  // the timers follow the core; an end it asked for ends the program

private:
    // Answers every message as its first button would; questions with yes.
    class Answers : public MessageSink {
        MsgAnswer show(const std::string&, const std::string&, MsgIcon, MsgButtons buttons) override {
            return buttons == MsgButtons::YesNo ? MsgAnswer::Yes : MsgAnswer::Ok;
        }
    };
    Answers answers_;
    LoggingMessageSink log_{answers_};
    MessageRouter router_{log_};
    std::unique_ptr<Manager> core_;
    QTimer logonTimer_, runTimer_;
};
