#include "app/ConfigStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char DEFAULT_CONFIG[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<VSPConfig>\r\n"
    "<Sys udpport=\"21012\" tcpport=\"\" mode=\"0\" usr=\"\" pwd=\"\" />\r\n"
    "</VSPConfig>";

constexpr unsigned PARSE_FLAGS =
    pugi::parse_default | pugi::parse_declaration | pugi::parse_comments | pugi::parse_ws_pcdata;

bool writeAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

struct StringWriter : pugi::xml_writer {
    std::string out;
    void write(const void* data, size_t size) override { out.append(static_cast<const char*>(data), size); }
};

}  // namespace

void setAttr(pugi::xml_node n, const char* name, const char* value) {
    pugi::xml_attribute a = n.attribute(name);
    if (!a) a = n.append_attribute(name);
    a.set_value(value);
}

int strToIntDef(const char* text, int def) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (!*p) return def;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(p, &end, 10);
    if (end == p || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX) return def;
    if (*p == ' ' || *p == '\t') return def;
    return static_cast<int>(v);
}

// A save goes to the file a link names, so the link stays.
std::string ConfigStore::target() const {
    char buf[PATH_MAX];
    return realpath(file_.c_str(), buf) ? std::string(buf) : file_;
}

namespace {
// Anything but a regular file (a directory, a device, a FIFO) is no Config.xml.
SysError notRegular(const char* call, const struct stat& st) {
    return {call, S_ISDIR(st.st_mode) ? EISDIR : EINVAL};
}

// A rename survives a power cut only once its folder is on disk; a folder
// that cannot be synced costs nothing more than before.
void syncFolder(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}
}  // namespace

// Writes `data` to a new file beside the file, with the old file's mode and
// owner, and renames it over it: a crash at any moment leaves the old content
// or the new, never a part. Where no new file can be made beside it (a folder
// we may not write) or its owner cannot be kept, the file is written in place.
bool ConfigStore::replaceFile(const std::string& data) {
    const std::string path = target(), tmp = path + ".tmp";
    lastError_ = {};
    struct stat st {};
    const bool exists = stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        lastError_ = notRegular("open", st);
        return false;
    }
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        if (exists && (errno == EACCES || errno == EPERM)) return writeInPlace(path, data);
        lastError_ = SysError::last("open");
        return false;
    }
    if (exists) {
        const bool ownerKept = (st.st_uid == geteuid() && st.st_gid == getegid()) || fchown(fd, st.st_uid, st.st_gid) == 0;
        if (!ownerKept) {
            close(fd);
            unlink(tmp.c_str());
            return writeInPlace(path, data);
        }
        if (fchmod(fd, st.st_mode & 07777) != 0) lastError_ = SysError::last("fchmod");
    }
    if (!lastError_ && !writeAll(fd, data)) lastError_ = SysError::last("write");
    if (!lastError_ && fsync(fd) != 0) lastError_ = SysError::last("fsync");
    if (close(fd) != 0 && !lastError_) lastError_ = SysError::last("close");
    if (!lastError_ && rename(tmp.c_str(), path.c_str()) != 0) lastError_ = SysError::last("rename");
    if (lastError_) {
        unlink(tmp.c_str());
        return false;
    }
    syncFolder(path);
    return true;
}

// The new content over the old in the file itself, made durable before we go on.
bool ConfigStore::writeInPlace(const std::string& path, const std::string& data) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        lastError_ = SysError::last("open");
        return false;
    }
    if (!writeAll(fd, data)) lastError_ = SysError::last("write");
    else if (ftruncate(fd, static_cast<off_t>(data.size())) != 0) lastError_ = SysError::last("ftruncate");
    else if (fsync(fd) != 0) lastError_ = SysError::last("fsync");
    if (close(fd) != 0 && !lastError_) lastError_ = SysError::last("close");
    return !lastError_;
}

LoadResult ConfigStore::load() {
    lastError_ = {};
    unlink((target() + ".tmp").c_str());  // left by a save that was killed
    if (access(file_.c_str(), F_OK) != 0 && !replaceFile(DEFAULT_CONFIG))
        return std::strcmp(lastError_.call, "open") == 0 ? LoadResult::CannotCreate : LoadResult::CannotWrite;
    std::string text;
    if (!readRegular(text)) return LoadResult::CannotParse;
    pugi::xml_parse_result r = doc_.load_buffer(text.data(), text.size(), PARSE_FLAGS, pugi::encoding_auto);
    return r && doc_.document_element() ? LoadResult::Loaded : LoadResult::CannotParse;
}

// Reads the whole file, refusing anything but a regular file (or a link to
// one) before and after opening it, so a FIFO never blocks us.
bool ConfigStore::readRegular(std::string& text) {
    struct stat st {};
    if (stat(file_.c_str(), &st) != 0) {
        lastError_ = SysError::last("open");
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        lastError_ = notRegular("open", st);
        return false;
    }
    int fd = open(file_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        lastError_ = SysError::last("open");
        return false;
    }
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        lastError_ = notRegular("open", st);
    } else {
        char buf[65536];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) lastError_ = SysError::last("read");
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    return !lastError_;
}

bool ConfigStore::save() {
    // The save writes UTF-8 whatever the file said before, so its declaration must say so too.
    pugi::xml_node decl = doc_.first_child();
    if (decl.type() == pugi::node_declaration) setAttr(decl, "encoding", "utf-8");
    StringWriter w;
    doc_.save(w, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return replaceFile(w.out);
}

pugi::xml_node ConfigStore::portNode(int n) {
    for (pugi::xml_node port : root().children("CommPort"))
        if (strToIntDef(port.attribute("port").value(), -1) == n) return port;
    return {};
}

pugi::xml_node ConfigStore::dtuNode(pugi::xml_node port, const std::string& id) {
    for (pugi::xml_node d : port.children("DTU"))
        if (id == d.attribute("id").value()) return d;
    return {};
}
