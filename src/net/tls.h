// TLS 1.2/1.3 over one connected Socket. OpenSSL never sees the descriptor:
// the connection object reads from one memory BIO and writes to another, and
// this class moves the bytes between those BIOs and the socket, so every wait
// on the network is the socket's own whole-second wait.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <openssl/ssl.h>

#include "foundation/error.h"

namespace ns::net {
class Socket;
}

namespace ns::net::tls {

NS_DECLARE_ERROR(TlsError);

// TLS settings of one listener, receiver or forwarder; copied by value.
struct TlsSocketConfig {
    bool enabled;
    bool validate;
    std::string serverName;  // client only: SNI and certificate name check; empty = neither
    bool clientCertificate;  // client presents certFile/keyFile
    std::string caFile;      // extra CA file; empty = none
    std::string certFile;
    std::string keyFile;
    std::string minVersion;  // "1.2", "1.3" or empty (OpenSSL default)
    std::string maxVersion;
    std::string cipherList;    // TLS 1.2 and below
    std::string cipherSuites;  // TLS 1.3

    TlsSocketConfig();
    ~TlsSocketConfig() = default;
};

// "1.2" -> TLS1_2_VERSION, "1.3" -> TLS1_3_VERSION, anything else 0.
int parseTlsVersion(const std::string& text);

struct SslCtxDeleter {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslDeleter {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

// One TLS connection at a time over a socket it does not own, in the server
// or the client role. Used by one thread at a time; takes no locks.
class TlsSocket {
public:
    TlsSocket(uint32_t id, bool server, TlsSocketConfig config, Socket& socket);
    ~TlsSocket();

    TlsSocket(const TlsSocket&) = delete;
    TlsSocket& operator=(const TlsSocket&) = delete;

    bool isActive() const { return config.enabled; }

    // Whole handshake in this object's role; on failure every OpenSSL object
    // is freed and TlsError "TLS handshake failed: ..." is thrown.
    void connect();
    // Between 1 and length decrypted bytes.
    uint32_t readsome(unsigned char* buffer, uint32_t length);
    void sendblock(const unsigned char* data, uint32_t length);
    // Close notification when a handshake completed, then reset.
    void close();
    // Frees the OpenSSL objects without talking to the peer.
    void reset();

    // True while input already received can be read without the network:
    // decrypted bytes, or a whole record still in rbio. Such bytes never make
    // the descriptor readable, so a caller must not wait on the socket then.
    // A partial record gives false: only the network can complete it.
    bool hasPendingInput();
    // The peer has sent its close notification: every byte it sent before
    // has been read.
    bool closedByPeer() const { return closeNotified; }

private:
    void createContext();
    void flushWriteBio();
    void pumpReadBio();
    void handleWant(const char* operation, int ret);
    std::string getSslError(int ret);

    uint32_t id;
    bool server;
    TlsSocketConfig config;
    Socket& socket;
    std::unique_ptr<SSL_CTX, SslCtxDeleter> ctx;
    std::unique_ptr<SSL, SslDeleter> ssl;
    BIO* rbio = nullptr;  // owned through ssl
    BIO* wbio = nullptr;  // owned through ssl
    bool handshakeComplete = false;
    // Cause of a failure met by hasPendingInput, reported by the next read:
    // by then OpenSSL's error queue, which held it, has been cleared.
    std::string peekFailure;
    bool closeNotified = false;
};

} // namespace ns::net::tls
