#pragma once
// A file the tap's records are written to (a capture, a serial log) by a
// thread of its own, so that the data path never waits for the disk. The
// queue is bounded: what does not fit is dropped and counted. A failed write
// (a full disk) is told in one line on stderr; later records are dropped.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/TapRecord.h"

class RecordFile {
public:
    // Appends the record's bytes in the file's format to `out`.
    using Format = std::function<void(const TapRecord&, std::string& out)>;
    static constexpr size_t QUEUE_LIMIT = 8 << 20;  // bytes of records waiting

    // Creates (or empties) the file and queues its header; null with `error`
    // set when it cannot be made. `what` names the file in messages.
    static std::unique_ptr<RecordFile> create(const std::string& path, const std::string& what, std::string header,
                                              Format format, std::string& error);
    // Writes what waits, then ends the thread; says how many records were dropped.
    ~RecordFile();
    RecordFile(const RecordFile&) = delete;
    RecordFile& operator=(const RecordFile&) = delete;

    void push(TapRecord r);  // never blocks on the disk
    uint64_t dropped() const { return dropped_; }
    uint64_t written() const { return written_; }

private:
    RecordFile(int fd, std::string path, std::string what, std::string header, Format format);
    void run();
    bool writeAll(const std::string& bytes);  // false: failed, reported

    const int fd_;
    const std::string path_, what_;
    const Format format_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<TapRecord> queue_;
    std::string header_;
    size_t queuedBytes_ = 0;
    bool stopping_ = false;
    std::atomic<bool> failed_{false};
    std::atomic<uint64_t> dropped_{0}, written_{0};
    std::thread thread_;
};
