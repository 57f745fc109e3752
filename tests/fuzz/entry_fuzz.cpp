// libFuzzer target: the listener and forwarder entry parsers on arbitrary
// text. Each either refuses the text with its own error (or, for a listener
// mode, the standard conversion errors) or yields a record whose fields lie
// in the ranges the rest of the daemon relies on.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "pipeline/worker/forwarder.h"
#include "pipeline/worker/listener.h"

using ns::worker::forwarder::ForwarderConfig;
using ns::worker::forwarder::ForwarderError;
using ns::worker::listener::ListenerConfig;
using ns::worker::listener::ListenerError;

namespace {

void require(bool ok)
{
    if (!ok)
        std::abort();
}

bool hasUpper(const std::string& s)
{
    for (char c : s)
        if (c >= 'A' && c <= 'Z')
            return true;
    return false;
}

void checkTimeouts(const ns::net::SocketConfig& s)
{
    require(s.readTimeout >= 1 && s.readTimeout <= 120);
    require(s.writeTimeout >= 1 && s.writeTimeout <= 120);
    require(s.sendBufferSize <= 2147483647u && s.recvBufferSize <= 2147483647u);
}

void listener(const char* text)
{
    ListenerConfig config;
    try {
        ns::worker::listener::parseListener(text, config);
    } catch (const ListenerError&) {
        return;
    } catch (const std::invalid_argument&) {
        return;
    } catch (const std::out_of_range&) {
        return;
    }
    const ns::net::SocketConfig& s = config.socketConfig;
    if (s.isUnix) {
        require(!s.path.empty() && s.path.size() <= 107 && !hasUpper(s.path));
    } else {
        require(!s.host.empty() && !hasUpper(s.host));
        require(s.port >= 1);
    }
    checkTimeouts(s);
    require(s.mode >= 1 && s.mode <= 0777);
    require(s.maxConnections >= 1 && s.listenBacklog >= 1);
    require(!s.group.empty());
}

void forwarder(const char* text)
{
    ForwarderConfig config;
    try {
        ns::worker::forwarder::parseForwarder(text, config);
    } catch (const ForwarderError&) {
        return;
    }
    const ns::net::SocketConfig& s = config.socketConfig;
    require(!s.isUnix);
    require(!s.host.empty() && !hasUpper(s.host));
    require(s.port >= 1);
    require(s.connectTimeout >= 1 && s.connectTimeout <= 120);
    checkTimeouts(s);
    require(config.batchSize >= 1);
    require(config.requeue || !config.durable);
    require(!config.forceStdout);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The configuration reader hands over a NUL-terminated text.
    const std::string text(reinterpret_cast<const char*>(data), size);
    listener(text.c_str());
    forwarder(text.c_str());
    // The same text as the reader delivers it: no trailing blanks.
    std::string trimmed = text.substr(0, text.find('\0'));
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back())))
        trimmed.pop_back();
    if (trimmed.size() != text.size()) {
        listener(trimmed.c_str());
        forwarder(trimmed.c_str());
    }
    return 0;
}
