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

// Writes `data` to a new file beside the file and renames it over it: a
// crash at any moment leaves the old content or the new, never a part.
bool ConfigStore::replaceFile(const std::string& data) {
    std::string tmp = file_ + ".tmp";
    lastError_ = {};
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        lastError_ = SysError::last("open");
        return false;
    }
    if (!writeAll(fd, data)) lastError_ = SysError::last("write");
    else if (fsync(fd) != 0) lastError_ = SysError::last("fsync");
    if (close(fd) != 0 && !lastError_) lastError_ = SysError::last("close");
    if (!lastError_ && rename(tmp.c_str(), file_.c_str()) != 0) lastError_ = SysError::last("rename");
    if (lastError_) unlink(tmp.c_str());
    return !lastError_;
}

LoadResult ConfigStore::load() {
    lastError_ = {};
    if (access(file_.c_str(), F_OK) != 0 && !replaceFile(DEFAULT_CONFIG))
        return std::strcmp(lastError_.call, "open") == 0 ? LoadResult::CannotCreate : LoadResult::CannotWrite;
    pugi::xml_parse_result r = doc_.load_file(file_.c_str(), PARSE_FLAGS, pugi::encoding_auto);
    if (!r) {
        if (r.status == pugi::status_file_not_found || r.status == pugi::status_io_error)
            lastError_ = SysError::last("open");
        return LoadResult::CannotParse;
    }
    return doc_.document_element() ? LoadResult::Loaded : LoadResult::CannotParse;
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
