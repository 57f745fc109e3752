// Helpers for tests of the connection stack: temporary folders, test
// certificates, connected socket pairs and peer processes.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "net/net.h"

namespace stack_fixture {

// A fresh folder under the system's temporary folder, removed at the end.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "qxnet.XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        path_ = buffer.data();
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void writeFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

// PEM files of one key and its certificate.
struct KeyPair {
    std::string cert;
    std::string key;
};

// A CA, a server and a client certificate issued by it (both with the
// alternative names IP:127.0.0.1 and DNS:localhost), and a self-signed
// certificate that no one trusts.
struct Certificates {
    KeyPair ca;
    KeyPair server;
    KeyPair client;
    KeyPair rogue;
};

namespace detail {

inline void addExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (ext == nullptr)
        throw std::runtime_error("X509V3_EXT_conf_nid failed");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// Issued by (issuerCert, issuerKey), or self-signed when they are null.
inline KeyPair makeCertificate(const std::string& dir, const std::string& name, bool isCa, long serial,
                               X509* issuerCert, EVP_PKEY* issuerKey, X509** certOut = nullptr,
                               EVP_PKEY** keyOut = nullptr)
{
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    X509* cert = X509_new();
    if (key == nullptr || cert == nullptr)
        throw std::runtime_error("key or certificate allocation failed");
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 2 * 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* subject = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(isCa ? name.c_str() : "localhost"), -1, -1, 0);
    X509* issuer = issuerCert != nullptr ? issuerCert : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(issuer));
    addExtension(cert, issuer, NID_subject_key_identifier, "hash");
    if (isCa) {
        addExtension(cert, issuer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert, issuer, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    } else {
        addExtension(cert, issuer, NID_basic_constraints, "CA:FALSE");
        addExtension(cert, issuer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
    }
    if (X509_sign(cert, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) == 0)
        throw std::runtime_error("X509_sign failed");

    KeyPair pair{dir + "/" + name + ".pem", dir + "/" + name + ".key"};
    FILE* f = std::fopen(pair.cert.c_str(), "w");
    PEM_write_X509(f, cert);
    std::fclose(f);
    f = std::fopen(pair.key.c_str(), "w");
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);

    if (certOut != nullptr)
        *certOut = cert;
    else
        X509_free(cert);
    if (keyOut != nullptr)
        *keyOut = key;
    else
        EVP_PKEY_free(key);
    return pair;
}

} // namespace detail

inline Certificates makeCertificates(const std::string& dir)
{
    X509* caCert = nullptr;
    EVP_PKEY* caKey = nullptr;
    Certificates certs;
    certs.ca = detail::makeCertificate(dir, "ca", true, 1, nullptr, nullptr, &caCert, &caKey);
    certs.server = detail::makeCertificate(dir, "server", false, 2, caCert, caKey);
    certs.client = detail::makeCertificate(dir, "client", false, 3, caCert, caKey);
    certs.rogue = detail::makeCertificate(dir, "rogue", true, 4, nullptr, nullptr);
    X509_free(caCert);
    EVP_PKEY_free(caKey);
    return certs;
}

// The name of the group this process runs as (the default group of the
// socket settings does not exist on test machines).
inline std::string ownGroup()
{
    group* g = getgrgid(getgid());
    return g != nullptr ? std::string(g->gr_name) : std::string("root");
}

inline uint16_t boundPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A port that was free a moment ago, for peers that need one on their
// command line.
inline uint16_t freePort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    uint16_t port = boundPort(fd);
    ::close(fd);
    return port;
}

inline ns::net::SocketConfig tcpConfig(uint16_t port, uint32_t readTimeout = 3)
{
    ns::net::SocketConfig config;
    config.isUnix = false;
    config.host = "127.0.0.1";
    config.port = port;
    config.readTimeout = readTimeout;
    config.writeTimeout = 3;
    config.connectTimeout = 3;
    return config;
}

inline ns::net::SocketConfig unixConfig(const std::string& path, uint32_t readTimeout = 3)
{
    ns::net::SocketConfig config;
    config.isUnix = true;
    config.path = path;
    config.group = ownGroup();
    config.mode = 0600;
    config.readTimeout = readTimeout;
    config.writeTimeout = 3;
    config.connectTimeout = 3;
    return config;
}

// Takes one connection from a listening socket, waiting at most `seconds`.
inline std::unique_ptr<ns::net::Socket> acceptOne(ns::net::Socket& listener, uint32_t seconds = 5)
{
    for (uint32_t i = 0; i < seconds; ++i) {
        if (listener.wait(true, 1))
            continue;
        if (ns::net::Socket* s = listener.accept())
            return std::unique_ptr<ns::net::Socket>(s);
    }
    throw std::runtime_error("no connection accepted");
}

// Both ends of one loopback TCP connection made through our own sockets.
struct TcpPair {
    std::unique_ptr<ns::net::Socket> listener;
    std::unique_ptr<ns::net::Socket> server;
    std::unique_ptr<ns::net::Socket> client;
};

inline TcpPair makeTcpPair(uint32_t readTimeout = 3)
{
    TcpPair pair;
    pair.listener = std::make_unique<ns::net::Socket>(0, tcpConfig(0, readTimeout));
    pair.listener->listen();
    uint16_t port = boundPort(pair.listener->getHandle());
    pair.client = std::make_unique<ns::net::Socket>(1, tcpConfig(port, readTimeout));
    pair.client->connect();
    pair.server = acceptOne(*pair.listener);
    return pair;
}

// Runs `body` on a thread; the message of what it threw (empty when
// nothing) is available after join().
class Side {
public:
    explicit Side(std::function<void()> body)
        : thread_([this, body = std::move(body)] {
              try {
                  body();
              } catch (const std::exception& e) {
                  error_ = e.what();
                  if (error_.empty())
                      error_ = "(empty message)";
              }
          })
    {
    }
    ~Side()
    {
        if (thread_.joinable())
            thread_.join();
    }
    const std::string& join()
    {
        if (thread_.joinable())
            thread_.join();
        return error_;
    }

private:
    std::string error_;
    std::thread thread_;
};

// The full path of a program found in PATH, or empty.
inline std::string findTool(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

// A peer program with standard input and output redirected to files;
// stopped by its pid when the object goes away.
class Process {
public:
    // An empty stdinPath gives the process a pipe that stays open until
    // closeStdin() (some peers end when their input ends).
    Process(const std::vector<std::string>& argv, const std::string& stdinPath = "/dev/null",
            const std::string& stdoutPath = "/dev/null", const std::string& stderrPath = "/dev/null")
    {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        int fds[2] = {-1, -1};
        if (stdinPath.empty() && pipe2(fds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            int in = stdinPath.empty() ? fds[0] : open(stdinPath.c_str(), O_RDONLY);
            int out = open(stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            execv(args[0], args.data());
            _exit(127);
        }
        if (fds[0] != -1)
            ::close(fds[0]);
        stdinWrite_ = fds[1];
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
    }
    ~Process()
    {
        stop(SIGKILL);
        closeStdin();
    }

    void closeStdin()
    {
        if (stdinWrite_ != -1)
            ::close(stdinWrite_);
        stdinWrite_ = -1;
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Sends `sig` and waits up to five seconds for the end, then kills.
    // Returns the exit status, or -1 when it had to be killed.
    int stop(int sig = SIGTERM)
    {
        if (pid_ <= 0)
            return status_;
        kill(pid_, sig);
        return waitExit(5000);
    }

    // Waits up to `ms` for the process to end by itself; kills it after.
    int waitExit(int ms)
    {
        if (pid_ <= 0)
            return status_;
        for (int waited = 0; waited <= ms; waited += 10) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = 0;
        status_ = -1;
        return status_;
    }

    bool running()
    {
        if (pid_ <= 0)
            return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = 0;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        return true;
    }

private:
    pid_t pid_ = 0;
    int status_ = -1;
    int stdinWrite_ = -1;
};

// Waits up to `ms` for `ready` to hold, checking every 20 ms.
inline bool waitFor(const std::function<bool()>& ready, int ms = 5000)
{
    for (int waited = 0; waited <= ms; waited += 20) {
        if (ready())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// True once something accepts TCP connections on 127.0.0.1:port.
inline bool portOpen(uint16_t port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return open;
}

} // namespace stack_fixture
