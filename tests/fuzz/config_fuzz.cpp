// libFuzzer target: the configuration file reader and the translation of its
// keys into settings records. The input is written to a file and read as a
// configuration; every logical line also goes through the line parser. The
// reader never fails on content, and the configure functions either refuse a
// value with the daemon's own error or fill records within their ranges.
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "app/config.h"
#include "app/quorvalex.h"
#include "dns/psl.h"

using ns::app::config::ConfigEntry;
using ns::app::config::ConfigFile;

namespace {

void require(bool ok)
{
    if (!ok)
        std::abort();
}

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// What any parsed entry looks like, whatever the line.
void checkEntry(const ConfigEntry& e)
{
    require(!e.key.empty());
    for (char c : e.key)
        require(!(c >= 'A' && c <= 'Z') && !isBlank(c) && c != '#' && c != '\0');
    for (char c : e.value)
        require(c != '#' && c != '\0');
    if (!e.value.empty())
        require(!isBlank(e.value.front()) && !isBlank(e.value.back()));
}

const char* const keys[] = {"message-fqdn-format", "domain-suffix-mode", "domain-suffix", "message-querylog-format",
                            "message-format", "message-hostname", "message-syslog-format",
                            "message-syslog-priority", "message-queue-size", "message-queue-recovery",
                            "message-queue-filename", "forwarder", "listener", "metrics-interval",
                            "metrics-format"};

struct TempFile {
    TempFile()
    {
        char pattern[] = "/tmp/qx-config-fuzz.XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0)
            std::abort();
        close(fd);
        path = pattern;
    }
    ~TempFile() { std::remove(path.c_str()); }
    std::string path;
};

void configure(ConfigFile& file, bool formatter)
{
    try {
        if (formatter) {
            ns::event::format::EventFormatterConfig fc;
            configureMessageFormatter(file, fc);
            require(fc.priority != 0 && fc.format <= 2);
        }
        ns::event::queue::EventQueueConfig qc;
        configureMessageQueue(file, qc);
        require(qc.size != 0);
        ns::worker::forwarder::ForwardersConfig forwarders;
        configureForwarders(file, forwarders);
        require(forwarders.forwarders.size() == file.getList("forwarder").size());
        for (size_t i = 0; i < forwarders.forwarders.size(); ++i)
            require(forwarders.forwarders[i].id == i && forwarders.forwarders[i].batchSize >= 1);
        ns::worker::listener::ListenersConfig listeners;
        configureListeners(file, listeners);
        require(listeners.listeners.size() == file.getList("listener").size());
        for (size_t i = 0; i < listeners.listeners.size(); ++i)
            require(listeners.listeners[i].id == i);
        ns::worker::logger::BackgroundLoggerConfig lc;
        configureBackgroundLogger(file, lc);
        require(lc.interval >= 1);
    } catch (const ns::error::UnknownError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static TempFile temp;
    const std::string& path = temp.path;
    if (size > 64 * 1024)
        return 0;

    // Each line alone through the line parser.
    const std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        std::unique_ptr<ConfigEntry> entry(ConfigFile::parse(line.c_str()));
        if (entry)
            checkEntry(*entry);
        start = end + 1;
    }

    FILE* f = std::fopen(path.c_str(), "wb");
    require(f != nullptr);
    require(std::fwrite(data, 1, size, f) == size);
    std::fclose(f);

    ConfigFile file;
    file.read(path.c_str());
    for (const char* key : keys) {
        const char* value = file.get(key);
        const auto all = file.getList(key);
        require((value == nullptr) == all.empty());
        if (value != nullptr)
            require(all.front() == value);
    }
    // Reading again replaces what the first read gave.
    file.read(path.c_str());

    // The built-in suffix table is rebuilt by every formatter set-up, which
    // is slow; only a quarter of the inputs that name a formatter key pay
    // for it.
    const bool formatter = size % 4 == 0 &&
        (text.find("message-") != std::string::npos || text.find("domain-") != std::string::npos);
    configure(file, formatter);
    ns::net::dns::config_domain_suffix_map.clear();
    return 0;
}
