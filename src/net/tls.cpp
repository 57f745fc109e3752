#include "net/tls.h"

#include <string>
#include <utility>

#include <openssl/bio.h>
#include <openssl/err.h>

#include "foundation/log.h"
#include "net/net.h"

namespace ns::net::tls {

namespace {

// Chunk size of every move between the BIOs and the socket (one TLS record).
constexpr int chunkSize = 16384;

struct BioDeleter {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

// A stale entry left by an earlier call (of this object or of anything else
// on this thread) would make SSL_get_error report a failure of a healthy
// call, and would end up in our messages: clear before every call whose
// errors we read.
inline void clearErrors() { ERR_clear_error(); }

} // namespace

TlsSocketConfig::TlsSocketConfig()
    : enabled(false),
      validate(true),
      serverName("127.0.0.1"),
      clientCertificate(false),
      caFile(),
      certFile("cert.pem"),
      keyFile("key.pem"),
      minVersion("1.2"),
      maxVersion(),
      cipherList(),
      cipherSuites()
{
}

int parseTlsVersion(const std::string& text)
{
    if (text == "1.2")
        return TLS1_2_VERSION;
    if (text == "1.3")
        return TLS1_3_VERSION;
    return 0;
}

TlsSocket::TlsSocket(uint32_t id, bool server, TlsSocketConfig config, Socket& socket)
    : id(id), server(server), config(std::move(config)), socket(socket)
{
}

TlsSocket::~TlsSocket() { reset(); }

void TlsSocket::connect()
{
    try {
        close();
        createContext();

        clearErrors();
        ssl.reset(SSL_new(ctx.get()));
        if (!ssl)
            throw TlsError("SSL_new() failed: " + getSslError(0));

        clearErrors();
        std::unique_ptr<BIO, BioDeleter> r(BIO_new(BIO_s_mem()));
        std::unique_ptr<BIO, BioDeleter> w(BIO_new(BIO_s_mem()));
        if (!r || !w)
            throw TlsError("BIO_new(BIO_s_mem()) failed: " + getSslError(0));
        rbio = r.release();
        wbio = w.release();
        SSL_set_bio(ssl.get(), rbio, wbio);

        if (server) {
            SSL_set_accept_state(ssl.get());
        } else {
            SSL_set_connect_state(ssl.get());
            if (!config.serverName.empty()) {
                clearErrors();
                if (SSL_set_tlsext_host_name(ssl.get(), config.serverName.c_str()) != 1)
                    throw TlsError("SSL_set_tlsext_host_name() failed: " + getSslError(0));
                clearErrors();
                if (SSL_set1_host(ssl.get(), config.serverName.c_str()) != 1)
                    throw TlsError("SSL_set1_host() failed: " + getSslError(0));
            }
        }

        for (;;) {
            clearErrors();
            int r = SSL_do_handshake(ssl.get());
            flushWriteBio();
            if (r == 1)
                break;
            handleWant("SSL_do_handshake()", r);
        }
        handshakeComplete = true;
        ns::log::info(("TlsSocket[" + std::to_string(id) + "]: TLS handshake complete").c_str());
    } catch (const std::exception& e) {
        reset();
        throw TlsError(std::string("TLS handshake failed: ") + e.what());
    }
}

void TlsSocket::createContext()
{
    clearErrors();
    ctx.reset(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
    if (!ctx)
        throw TlsError("SSL_CTX_new() failed: " + getSslError(0));

    if (!config.minVersion.empty()) {
        int v = parseTlsVersion(config.minVersion);
        if (v <= 0)
            throw TlsError("Parse minimum TLS version failed: " + getSslError(0));
        clearErrors();
        if (SSL_CTX_set_min_proto_version(ctx.get(), v) != 1)
            throw TlsError("SSL_CTX_set_min_proto_version() failed: " + getSslError(0));
    }
    if (!config.maxVersion.empty()) {
        int v = parseTlsVersion(config.maxVersion);
        if (v <= 0)
            throw TlsError("Parse maximum TLS version failed: " + getSslError(0));
        clearErrors();
        if (SSL_CTX_set_max_proto_version(ctx.get(), v) != 1)
            throw TlsError("SSL_CTX_set_max_proto_version() failed: " + getSslError(0));
    }
    if (!config.cipherList.empty()) {
        clearErrors();
        if (SSL_CTX_set_cipher_list(ctx.get(), config.cipherList.c_str()) != 1)
            throw TlsError("SSL_CTX_set_cipher_list(" + config.cipherList + ") failed: " + getSslError(0));
    }
    if (!config.cipherSuites.empty()) {
        clearErrors();
        if (SSL_CTX_set_ciphersuites(ctx.get(), config.cipherSuites.c_str()) != 1)
            throw TlsError("SSL_CTX_set_ciphersuites(" + config.cipherSuites + ") failed: " + getSslError(0));
    }
    if (server || config.clientCertificate) {
        clearErrors();
        if (SSL_CTX_use_certificate_chain_file(ctx.get(), config.certFile.c_str()) != 1)
            throw TlsError("SSL_CTX_use_certificate_chain_file(" + config.certFile + ") failed: " + getSslError(0));
        clearErrors();
        if (SSL_CTX_use_PrivateKey_file(ctx.get(), config.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
            throw TlsError("SSL_CTX_use_PrivateKey_file(" + config.keyFile + ") failed: " + getSslError(0));
        clearErrors();
        if (SSL_CTX_check_private_key(ctx.get()) != 1)
            throw TlsError("SSL_CTX_check_private_key() failed: " + getSslError(0));
    }
    if (config.validate) {
        if (!config.caFile.empty()) {
            clearErrors();
            if (SSL_CTX_load_verify_locations(ctx.get(), config.caFile.c_str(), nullptr) != 1)
                throw TlsError("SSL_CTX_load_verify_locations(" + config.caFile + ") failed: " + getSslError(0));
        }
        clearErrors();
        if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1)
            throw TlsError("SSL_CTX_set_default_verify_paths() failed: " + getSslError(0));
        SSL_CTX_set_verify(ctx.get(), server ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_PEER,
                           nullptr);
    } else {
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    }
}

uint32_t TlsSocket::readsome(unsigned char* buffer, uint32_t length)
{
    if (!handshakeComplete)
        throw TlsError("TLS handshake not complete");
    if (length == 0)
        return 0;
    if (!peekFailure.empty())
        throw TlsError("SSL_read() failed: " + std::exchange(peekFailure, std::string()));
    // SSL_read takes an int; a larger request is simply served in part.
    int want = length > 0x7fffffffu ? 0x7fffffff : static_cast<int>(length);
    for (;;) {
        clearErrors();
        int r = SSL_read(ssl.get(), buffer, want);
        flushWriteBio();
        if (r > 0)
            return static_cast<uint32_t>(r);
        handleWant("SSL_read()", r);
    }
}

void TlsSocket::sendblock(const unsigned char* data, uint32_t length)
{
    if (!handshakeComplete)
        throw TlsError("TLS handshake not complete");
    while (length > 0) {
        int chunk = length > 0x7fffffffu ? 0x7fffffff : static_cast<int>(length);
        clearErrors();
        int r = SSL_write(ssl.get(), data, chunk);
        flushWriteBio();
        if (r > 0) {
            data += r;
            length -= static_cast<uint32_t>(r);
        } else {
            handleWant("SSL_write()", r);
        }
    }
}

void TlsSocket::close()
{
    if (ssl && handshakeComplete) {
        clearErrors();
        SSL_shutdown(ssl.get());
        flushWriteBio();
    }
    reset();
}

void TlsSocket::reset()
{
    ssl.reset();  // frees both BIOs
    rbio = nullptr;
    wbio = nullptr;
    ctx.reset();
    handshakeComplete = false;
    peekFailure.clear();
    closeNotified = false;
}

bool TlsSocket::hasPendingInput()
{
    if (!handshakeComplete)
        return false;
    if (SSL_pending(ssl.get()) > 0)
        return true;
    if (BIO_ctrl_pending(rbio) == 0)
        return false;
    // Raw bytes are waiting: let OpenSSL process them without touching the
    // network. A partial record (or only a post-handshake message) leaves
    // nothing readable, and then the network must be waited on.
    unsigned char byte;
    clearErrors();
    int r = SSL_peek(ssl.get(), &byte, 1);
    flushWriteBio();
    if (r > 0)
        return true;
    int e = SSL_get_error(ssl.get(), r);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
        return false;
    // Any failure is left for the next read to report, with its cause.
    if (e != SSL_ERROR_ZERO_RETURN)
        peekFailure = getSslError(r);
    return true;
}

void TlsSocket::flushWriteBio()
{
    unsigned char buffer[chunkSize];
    // No clearing here: this runs between an SSL call and the SSL_get_error
    // that reads that call's errors.
    while (wbio != nullptr) {
        int n = BIO_read(wbio, buffer, chunkSize);
        if (n > 0) {
            socket.sendblock(buffer, static_cast<uint32_t>(n));
            continue;
        }
        if (n == 0 || BIO_should_retry(wbio))
            return;
        throw TlsError("BIO_read(wbio) failed: " + getSslError(0));
    }
}

void TlsSocket::pumpReadBio()
{
    unsigned char buffer[chunkSize];
    if (socket.wait(true, socket.getReadTimeout()))
        throw TlsError("TLS read failed: wait() timed out");
    uint32_t n = socket.readsome(buffer, chunkSize);
    if (n == 0)
        throw TlsError("TLS peer closed connection");
    if (BIO_write(rbio, buffer, static_cast<int>(n)) != static_cast<int>(n))
        throw TlsError("BIO_write(rbio) failed: " + getSslError(0));
}

void TlsSocket::handleWant(const char* operation, int ret)
{
    int e = SSL_get_error(ssl.get(), ret);
    switch (e) {
    case SSL_ERROR_WANT_READ:
        pumpReadBio();
        return;
    case SSL_ERROR_WANT_WRITE:
        flushWriteBio();
        return;
    case SSL_ERROR_ZERO_RETURN:
        closeNotified = true;
        throw TlsError(std::string(operation) + " failed: TLS connection closed");
    default:
        throw TlsError(std::string(operation) + " failed: " + getSslError(ret));
    }
}

std::string TlsSocket::getSslError(int ret)
{
    std::string cause;
    if (!ssl)
        cause = ret == 0 ? std::string("Unknown SSL error") : std::to_string(ret);
    else if (ret > 0)
        cause = std::to_string(ret);
    else
        cause = "SSL_get_error=" + std::to_string(SSL_get_error(ssl.get(), ret));

    bool any = false;
    while (unsigned long code = ERR_get_error()) {
        char text[256] = {};
        ERR_error_string_n(code, text, sizeof(text));
        cause += any ? "; " : " (";
        cause += text;
        any = true;
    }
    if (any)
        cause += ")";
    return cause;
}

} // namespace ns::net::tls
