#include "pipeline/worker/forwarder.h"

#include <climits>
#include <string>

#include "pipeline/worker/listener.h"

namespace ns::worker::forwarder {

namespace {

using ns::worker::listener::EntryTokenizer;

uint32_t numberInRange(const std::string& value, int64_t low, int64_t high, const char* message)
{
    int64_t n = ns::worker::listener::parseEntryNumber(value);
    if (n < low || n > high)
        throw ForwarderError(message);
    return static_cast<uint32_t>(n);
}

bool onOff(const std::string& value, const char* message)
{
    if (value == "on")
        return true;
    if (value == "off")
        return false;
    throw ForwarderError(message);
}

} // namespace

void parseForwarder(const char* text, ForwarderConfig& config)
{
    ns::net::SocketConfig& sock = config.socketConfig;
    ns::net::tls::TlsSocketConfig& tls = config.tlsSocketConfig;
    ns::net::fstrm::FstrmSocketConfig& fstrm = config.fstrmSocketConfig;

    sock.isUnix = false;
    EntryTokenizer tokens(text);
    std::string protocol = tokens.readToken();
    if (protocol == "ipv4")
        sock.useIpv6 = false;
    else if (protocol == "ipv6")
        sock.useIpv6 = true;
    else
        throw ForwarderError("Invalid protocol");

    std::string host = tokens.readToken();
    if (host.empty())
        throw ForwarderError("Invalid host");
    sock.host = host;
    sock.port = static_cast<uint16_t>(numberInRange(tokens.readToken(), 1, 65535, "Invalid port"));
    tls.serverName = host;

    std::string name;
    std::string value;
    for (;;) {
        EntryTokenizer::Option read = tokens.readOption(name, value);
        if (read == EntryTokenizer::Option::End)
            break;
        if (read == EntryTokenizer::Option::MissingValue)
            throw ForwarderError("Invalid parameter '" + name + "'");

        if (name == "connect-timeout") {
            sock.connectTimeout = numberInRange(value, 1, 120, "Invalid connect-timeout option");
        } else if (name == "read-timeout") {
            sock.readTimeout = numberInRange(value, 1, 120, "Invalid read-timeout option");
        } else if (name == "write-timeout") {
            sock.writeTimeout = numberInRange(value, 1, 120, "Invalid write-timeout option");
        } else if (name == "send-buffer-size") {
            sock.sendBufferSize = numberInRange(value, 1, INT32_MAX, "Invalid send-buffer-size option");
        } else if (name == "recv-buffer-size") {
            sock.recvBufferSize = numberInRange(value, 1, INT32_MAX, "Invalid recv-buffer-size option");
        } else if (name == "batch-size") {
            // A value that does not fit 32 bits would wrap, possibly to 0.
            config.batchSize = numberInRange(value, 1, UINT32_MAX, "Invalid batch-size option");
        } else if (name == "recovery") {
            if (value == "drop") {
                config.requeue = false;
                config.durable = false;
            } else if (value == "best-effort") {
                config.requeue = true;
                config.durable = false;
            } else if (value == "durable") {
                config.requeue = true;
                config.durable = true;
            } else {
                throw ForwarderError("Invalid recovery option");
            }
        } else if (name == "fstrm-mode") {
            if (value == "bidirectional")
                fstrm.bidirectional = true;
            else if (value == "unidirectional")
                fstrm.bidirectional = false;
            else
                throw ForwarderError("Invalid fstrm-mode option");
        } else if (name == "fstrm-control-frame-max-size") {
            fstrm.controlFrameMaxSize =
                numberInRange(value, 1, UINT32_MAX, "Invalid fstrm-control-frame-max-size option");
        } else if (name == "tls") {
            tls.enabled = onOff(value, "Invalid tls option");
        } else if (name == "tls-validate") {
            tls.validate = onOff(value, "Invalid tls-validate option");
        } else if (name == "tls-validate-server-name") {
            tls.serverName = value;
        } else if (name == "tls-validate-ca-file") {
            tls.caFile = value;
        } else if (name == "tls-client-certificate") {
            tls.clientCertificate = onOff(value, "Invalid tls-client-certificate option");
        } else if (name == "tls-client-certificate-cert-file") {
            tls.certFile = value;
        } else if (name == "tls-client-certificate-key-file") {
            tls.keyFile = value;
        } else if (name == "tls-min-version") {
            tls.minVersion = value;
        } else if (name == "tls-max-version") {
            tls.maxVersion = value;
        } else if (name == "tls-cipher-list") {
            tls.cipherList = value;
        } else if (name == "tls-cipher-suites") {
            tls.cipherSuites = value;
        } else {
            throw ForwarderError("Unknown parameter '" + name + "'");
        }
    }
}

} // namespace ns::worker::forwarder
