#include "net/SysError.h"

#include <cstdio>
#include <cstring>

std::string SysError::text() const {
    if (!call) return {};
    char buf[256];
    // The GNU strerror_r returns the text, which may not be in buf.
    const char* msg = strerror_r(err, buf, sizeof buf);
    return std::string(call) + ": " + msg;
}

void reportCause(const std::string& what, const SysError& e) {
    if (!e) return;
    std::fprintf(stderr, "%s: %s\n", what.c_str(), e.text().c_str());
}
