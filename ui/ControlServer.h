#pragma once
// Answers `vsp-manager COMMAND` on the single-instance socket, on the event
// loop's thread, with or without a window.
#include <QObject>
#include <QSocketNotifier>
#include <functional>

#include "app/Control.h"
#include "app/SingleInstance.h"

class ControlServer : public QObject {
public:
    // `onWake`: an empty request (a second start); `afterCommand`: the rows may have changed.
    ControlServer(SingleInstance& instance, Control& control, std::function<void()> onWake,
                  std::function<void()> afterCommand, QObject* parent = nullptr);

private:
    void serve();

    SingleInstance& instance_;
    Control& control_;
    std::function<void()> onWake_, afterCommand_;
    QSocketNotifier notifier_;
};

// 50 ms of the event loop: lets the manager work while a command waits.
bool pumpEvents();
