#pragma once
// The Config.xml document: loaded once, changed in memory, and saved after
// every change without ever leaving a broken file behind.
#include <pugixml.hpp>

#include <string>

#include "net/SysError.h"

enum class LoadResult {
    Loaded,
    CannotCreate,   // the default file could not be made
    CannotWrite,    // the default file could not be written
    CannotParse,    // not a regular file, not XML, or no root element
};

class ConfigStore {
public:
    explicit ConfigStore(std::string file) : file_(std::move(file)) {}

    const std::string& fileName() const { return file_; }
    // Makes the default file when there is none, then parses.
    LoadResult load();
    bool save();
    // The system call that made the last load or save fail.
    const SysError& lastError() const { return lastError_; }

    pugi::xml_node root() { return doc_.document_element(); }
    pugi::xml_node sysNode() { return root().child("Sys"); }
    pugi::xml_node portNode(int n);
    static pugi::xml_node dtuNode(pugi::xml_node port, const std::string& id);

private:
    std::string target() const;
    bool replaceFile(const std::string& data);
    bool writeInPlace(const std::string& path, const std::string& data);
    bool readRegular(std::string& text);

    std::string file_;
    pugi::xml_document doc_;
    SysError lastError_;
};

// Sets an attribute, adding it when a hand-written file lacks it.
void setAttr(pugi::xml_node n, const char* name, const char* value);
// Decimal conversion with a default, as the loader reads numbers.
int strToIntDef(const char* text, int def);
