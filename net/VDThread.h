#pragma once
// Owner of one platform thread running entry(arg). It has no loop and no stop
// flag: each user brings its own stop event.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

class VDThread {
public:
    using Entry = uint32_t (*)(void*);
    static constexpr uint32_t INFINITE = 0xFFFFFFFF;

    VDThread() = default;
    // Releases the thread without waiting for it or ending it.
    virtual ~VDThread();
    VDThread(const VDThread&) = delete;
    VDThread& operator=(const VDThread&) = delete;

    // A thread that cannot be made leaves the object idle; Wait then returns at once.
    void Start(Entry entry, void* arg);
    // False only when the time-out passed with the thread still running.
    bool Wait(uint32_t timeoutMs);
    bool Started() const { return state_ != nullptr; }

private:
    struct State {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    void release();

    Entry entry_ = nullptr;
    void* arg_ = nullptr;
    std::thread handle_;
    std::shared_ptr<State> state_;
};
