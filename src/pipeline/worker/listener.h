// Listener settings and their parser (with the tokeniser shared with the
// forwarder entries), and the listener worker: one thread accepting dnstap
// connections and handing each to a receiver of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "foundation/error.h"
#include "net/fstrm.h"
#include "net/net.h"
#include "net/tls.h"
#include "pipeline/metrics.h"

namespace ns::event::queue {
class EventQueue;
}

namespace ns::worker::receiver {
class Receiver;
}

namespace ns::worker::listener {

NS_DECLARE_ERROR(ListenerError);

// Settings of one listening place; copied by value into the listener and,
// field by field, into each of its receivers.
struct ListenerConfig {
    uint32_t id = 0;  // position among the listener entries; set by the caller
    ns::net::SocketConfig socketConfig;
    ns::net::tls::TlsSocketConfig tlsSocketConfig;
    ns::net::fstrm::FstrmSocketConfig fstrmSocketConfig;
};

struct ListenersConfig {
    std::vector<ListenerConfig> listeners;
};

// Reads "unix path [options]" or "ipv4|ipv6 host port [options]" into config;
// fields the text does not name keep their values. Throws ListenerError at the
// first rejected token (and std::invalid_argument / std::out_of_range "stoul"
// for a mode that is not octal), leaving config partly filled.
void parseListener(const char* text, ListenerConfig& config);

// Reads the words of a listener or forwarder entry. Never reads past the
// terminating NUL.
class EntryTokenizer {
public:
    explicit EntryTokenizer(const char* text) : pos(text) {}

    // Skips blanks, then the longest run of non-blanks, lower-cased; empty at
    // the end of the text.
    std::string readToken();

    enum class Option { End, Found, MissingValue };
    // One option: End when only blanks remain; MissingValue when the text
    // ends right after the name (name is set); Found with the lower-cased
    // name and the value as written (a double-quoted value may hold blanks).
    Option readOption(std::string& name, std::string& value);

private:
    void skipBlanks();
    const char* pos;
};

// A decimal number read the way strtol() reads it: optional sign, digits up to
// the first other character, 0 without digits.
int64_t parseEntryNumber(const std::string& text);

// Refuses a value of an entry: throws the entry kind's own exception.
using RefuseFn = void (*)(const std::string& message);

// The number of value when within [low, high]; otherwise refuse(message).
uint32_t parseEntryRange(const std::string& value, int64_t low, int64_t high, const char* message, RefuseFn refuse);

// "on" or "off", compared exactly; otherwise refuse(message).
bool parseEntryOnOff(const std::string& value, const char* message, RefuseFn refuse);

// Applies an option that listener and forwarder entries share (time-outs,
// buffer sizes, control-frame limit, TLS switches, versions and ciphers).
// False when the name is none of them.
bool applySharedOption(const std::string& name, const std::string& value, ns::net::SocketConfig& sock,
                       ns::net::tls::TlsSocketConfig& tls, ns::net::fstrm::FstrmSocketConfig& fstrm,
                       RefuseFn refuse);

struct ListenerContext {
    ns::event::queue::EventQueue* eventQueue = nullptr;  // not owned
};

class Listener {
public:
    Listener(ListenerConfig config, ListenerContext context);
    ~Listener();

    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    uint32_t getId() const { return config.id; }
    bool getIsUnix() const { return config.socketConfig.isUnix; }
    bool getUseIpv6() const { return config.socketConfig.useIpv6; }
    uint16_t getPort() const { return config.socketConfig.port; }
    std::string getHost() const { return config.socketConfig.host; }
    std::string getPath() const { return config.socketConfig.path; }

    // Counters since the previous call, current receiver figures, and one
    // record per receiver in ascending id order.
    void getMetrics(ns::metrics::ListenerMetrics& out);

    void startProcessLoopThread();
    // Sets the listener's stop flag and wakes its thread; waits for nothing.
    // The thread refuses new connections at once, takes in those already
    // waiting, closes the listening socket, and only then tells the receivers
    // to stop.
    void stopProcessLoopThread();
    // Joins the listener's thread, then every receiver thread.
    void joinProcessLoopThread();
    // A receiver's connection has ended: take it out of the table and delete
    // it, unless the listener is stopping.
    void deregister(uint32_t receiverId);

    void processLoop();

private:
    void acceptOne(ns::net::Socket* accepted);
    // At the stop: refuse new connections, then accept those already waiting,
    // each handed to a receiver that is stopped at once.
    void takeWaitingConnections();
    void joinFinishedThreads();
    // Up to `seconds`, ended at once by the stop.
    void pause(int seconds);
    void stopReceivers();

    ListenerConfig config;
    ListenerContext context;
    std::thread* thread = nullptr;
    std::atomic<bool> stop{false};
    ns::net::Socket* listenSocket = nullptr;
    // Eventfds that a stop makes readable for good, polled beside the
    // sockets: one for the listener's thread, one for every receiver.
    int wakeFd = -1;
    int receiverWakeFd = -1;
    std::map<uint32_t, ns::worker::receiver::Receiver*> receivers;
    std::mutex mutex;
    ns::metrics::ListenerMetrics metrics;
    ns::metrics::ListenerMetrics lastReported;
    // Threads of receivers deleted after their connection ended; they are
    // past their last use of the receiver and are joined outside the mutex.
    std::vector<std::thread*> finishedThreads;
};

void Listener_processLoop(Listener* listener);
void Listener_receiverDoneCallback(ns::worker::receiver::Receiver* receiver, void* arg);

} // namespace ns::worker::listener
