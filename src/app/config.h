// The configuration file: an ordered list of key/value entries.
//
// Keys are stored lower-cased, so lookups in lower case match any case in the
// file. "#" starts a comment anywhere, a line starting with a blank continues
// the previous entry, and a blank line ends an entry.
#pragma once

#include <list>
#include <string>

#include "foundation/error.h"

namespace ns::app::config {

NS_DECLARE_ERROR(ConfigError);

struct ConfigEntry {
    std::string key;
    std::string value;
};

class ConfigFile {
public:
    ConfigFile() = default;
    ~ConfigFile();
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    // Replaces the entries with those of the file; throws ConfigError when
    // the file cannot be opened.
    void read(const char* path);

    // One logical line as a new entry, or null when it holds no key.
    static ConfigEntry* parse(const char* line);

    // Value of the first entry with this key; null when there is none.
    const char* get(const char* key) const;

    // Values of every entry with this key, in file order.
    std::list<std::string> getList(const char* key) const;

    void add(const char* key, const char* value);

private:
    void clear();
    void append(const std::string& line);

    std::list<ConfigEntry*> entries_;
};

} // namespace ns::app::config
