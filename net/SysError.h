#pragma once
// A failed system call: its name and errno, kept so that the cause can be
// told beside the message the user sees.
#include <cerrno>
#include <string>

struct SysError {
    const char* call = nullptr;  // null: no failure
    int err = 0;

    static SysError last(const char* call) { return {call, errno}; }
    explicit operator bool() const { return call != nullptr; }
    // "call: strerror text"; empty when there was no failure.
    std::string text() const;
};

// Writes "what: call: reason" as one line on standard error.
void reportCause(const std::string& what, const SysError& e);
