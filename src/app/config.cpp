#include "app/config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <sstream>

namespace ns::app::config {

namespace {

// The POSIX locale's white space; bytes from 0x80 up are never blank.
bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Blanks that the reader trims from the start of a physical line.
bool isLeading(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

} // namespace

ConfigFile::~ConfigFile()
{
    clear();
}

void ConfigFile::clear()
{
    for (ConfigEntry* entry : entries_)
        delete entry;
    entries_.clear();
}

void ConfigFile::append(const std::string& line)
{
    // A NUL inside the line ends its text.
    if (ConfigEntry* entry = parse(line.c_str()))
        entries_.push_back(entry);
}

void ConfigFile::read(const char* path)
{
    clear();
    FILE* file = std::fopen(path, "r");
    if (!file) {
        // Composing the message may itself set errno.
        const int err = errno;
        std::ostringstream msg;
        msg << "ifstream(" << path << ") failed to open: " << ns::error::getMessage(err);
        throw ConfigError(msg.str());
    }

    std::string pending;
    char* buf = nullptr;
    size_t cap = 0;
    ssize_t got;
    // getline reports the real length, so a NUL inside a line stays inside it.
    while ((got = getline(&buf, &cap, file)) >= 0) {
        size_t len = static_cast<size_t>(got);
        if (len > 0 && buf[len - 1] == '\n')
            --len;
        // A line written with CR LF: the CR goes too, also before a
        // continuation line, so it never ends up inside a joined value.
        if (len > 0 && buf[len - 1] == '\r')
            --len;
        const std::string_view line(buf, len);

        size_t start = 0;
        while (start < line.size() && isLeading(line[start]))
            ++start;
        if (start == line.size()) {
            if (!pending.empty()) {
                append(pending);
                pending.clear();
            }
            continue;
        }
        if (line[start] == '#')
            continue;
        if (!pending.empty() && isBlank(line[0])) {
            pending.push_back(' ');
            pending.append(line.substr(start));
            continue;
        }
        if (!pending.empty())
            append(pending);
        pending.assign(line.substr(start));
    }
    // A directory, or a read error part-way, must not pass for a short file.
    const int readErrno = errno;
    const bool failed = std::ferror(file) != 0;
    std::free(buf);
    std::fclose(file);
    if (failed) {
        clear();
        std::ostringstream msg;
        msg << "ifstream(" << path << ") failed to read: " << ns::error::getMessage(readErrno);
        throw ConfigError(msg.str());
    }
    if (!pending.empty())
        append(pending);
}

ConfigEntry* ConfigFile::parse(const char* line)
{
    if (line[0] == '#' || line[0] == '\0')
        return nullptr;
    const char* p = line;
    while (*p && isBlank(*p))
        ++p;
    if (*p == '\0' || *p == '#')
        return nullptr;
    const char* keyStart = p;
    while (*p && *p != '#' && !isBlank(*p))
        ++p;
    const char* keyEnd = p;
    while (*p && *p != '#' && isBlank(*p))
        ++p;
    const char* valueStart = p;
    while (*p && *p != '#')
        ++p;
    const char* valueEnd = p;
    while (valueEnd > valueStart && isBlank(valueEnd[-1]))
        --valueEnd;

    auto* entry = new ConfigEntry;
    entry->key.assign(keyStart, keyEnd);
    for (char& c : entry->key)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    entry->value.assign(valueStart, valueEnd);
    return entry;
}

const char* ConfigFile::get(const char* key) const
{
    for (const ConfigEntry* entry : entries_)
        if (entry->key == key)
            return entry->value.c_str();
    return nullptr;
}

std::list<std::string> ConfigFile::getList(const char* key) const
{
    std::list<std::string> values;
    for (const ConfigEntry* entry : entries_)
        if (entry->key == key)
            values.push_back(entry->value);
    return values;
}

void ConfigFile::add(const char* key, const char* value)
{
    auto* entry = new ConfigEntry;
    entry->key = key;
    entry->value = value;
    entries_.push_back(entry);
}

} // namespace ns::app::config
