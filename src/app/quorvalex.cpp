#include "app/quorvalex.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <unistd.h>

#include "dns/formatter.h"
#include "dns/psl.h"
#include "foundation/log.h"
#include "net/net.h"

const char* config_filename = nullptr;
bool force_stdout = false;
std::mutex stop_mtx;
std::condition_variable stop_cv;
std::atomic<bool> stop_requested{false};
bool run_failed = false;
static_assert(std::atomic<bool>::is_always_lock_free);

namespace {

const char* const VERSION = "2.4.4";

[[noreturn]] void fail(const std::string& message)
{
    throw ns::error::UnknownError(message);
}

// Numbers read the way strtoll reads them: sign and digits up to the first
// other character, nothing readable giving 0, out of range held at the limit.
int64_t readNumber(const char* text)
{
    return static_cast<int64_t>(std::strtoll(text, nullptr, 10));
}

// Looks a word value up in a table of (word, result) pairs.
template <typename T, size_t N>
bool lookupWord(const char* value, const std::pair<const char*, T> (&table)[N], T& result)
{
    for (const auto& [word, v] : table)
        if (std::strcmp(value, word) == 0) {
            result = v;
            return true;
        }
    return false;
}

template <typename T, size_t N>
void readWord(ConfigFile& config, const char* key, const std::pair<const char*, T> (&table)[N], T& field,
              const char* message)
{
    const char* value = config.get(key);
    if (value && !lookupWord(value, table, field))
        fail(std::string(message) + value);
}

} // namespace

void usage()
{
    std::cerr << "usage: quorvalex run <quorvalex.conf>" << std::endl;
    std::cerr << "       quorvalex run-stdout <quorvalex.conf>" << std::endl;
    std::cerr << "       quorvalex print-psl" << std::endl;
    std::cerr << "       quorvalex version" << std::endl;
    std::exit(1);
}

void requestStop()
{
    stop_requested.store(true);
}

void onSignal(int signum)
{
    installSignals();
    if (signum == SIGINT || signum == SIGTERM) {
        requestStop();
    } else {
        // Only async-signal-safe calls here: the line is composed by hand,
        // since snprintf may lock or allocate.
        static const char head[] = "Unhandled signal ";
        static const char tail[] = " received\n";
        char buf[64];
        size_t n = sizeof(head) - 1;
        std::memcpy(buf, head, n);
        unsigned value = signum < 0 ? 0u - unsigned(signum) : unsigned(signum);
        if (signum < 0)
            buf[n++] = '-';
        char digits[12];
        size_t count = 0;
        do {
            digits[count++] = char('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0)
            buf[n++] = digits[--count];
        std::memcpy(buf + n, tail, sizeof(tail) - 1);
        n += sizeof(tail) - 1;
        (void)!write(STDERR_FILENO, buf, n);
    }
}

void installSignals()
{
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
}

void waitForStop()
{
    // The handler cannot take the mutex, so the wait looks at the flag in
    // short steps instead of relying on a notification alone.
    std::unique_lock<std::mutex> lock(stop_mtx);
    while (!stop_requested.load())
        stop_cv.wait_for(lock, std::chrono::milliseconds(100));
}

std::string getBasename(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    if (!slash)
        return ".";
    if (slash == path)
        return "/";
    return std::string(path, static_cast<size_t>(slash - path));
}

void getHostname(std::vector<unsigned char>& host)
{
    char name[65];
    if (gethostname(name, sizeof(name)) != 0)
        fail("gethostname() failed: " + ns::error::getMessage(errno));
    name[sizeof(name) - 1] = '\0';
    const size_t len = std::strlen(name);
    host.assign(name, name + len);
}

void configureMessageFormatter(ConfigFile& config, ns::event::format::EventFormatterConfig& fc)
{
    static const std::pair<const char*, bool> fqdnFormats[] = {{"with-trailing-dot", true},
                                                              {"without-trailing-dot", false}};
    readWord(config, "message-fqdn-format", fqdnFormats, fc.fqdnTrailingDot,
             "Unknown message-fqdn-format specified in config file: ");

    struct Mode {
        bool domainSuffix, builtin, configured;
    };
    static const std::pair<const char*, Mode> modes[] = {{"all", {true, true, true}},
                                                        {"builtin", {true, true, false}},
                                                        {"config", {true, false, true}},
                                                        {"off", {false, false, false}}};
    Mode mode{fc.domainSuffix, fc.builtinSuffixes, fc.configSuffixes};
    readWord(config, "domain-suffix-mode", modes, mode, "Unknown domain-suffix-mode specified in config file: ");
    fc.domainSuffix = mode.domainSuffix;
    fc.builtinSuffixes = mode.builtin;
    fc.configSuffixes = mode.configured;

    ns::net::dns::loadPslDomainSuffixes(fc.fqdnTrailingDot);
    for (const std::string& value : config.getList("domain-suffix")) {
        std::string domain = value;
        while (!domain.empty() && domain.back() == '.')
            domain.pop_back();
        if (domain.empty())
            fail("Unknown domain-suffix specified in config file: " + value);
        ns::net::dns::addDomainSuffix(domain.c_str(), fc.fqdnTrailingDot);
    }

    static const std::pair<const char*, bool> querylogFormats[] = {{"extended", true}, {"standard", false}};
    readWord(config, "message-querylog-format", querylogFormats, fc.querylogExtended,
             "Unknown message-querylog-format specified in config file: ");

    static const std::pair<const char*, uint32_t> formats[] = {{"json", 0}, {"querylog", 1}, {"dnstap", 2}};
    readWord(config, "message-format", formats, fc.format, "Unknown message-format specified in config file: ");

    if (const char* host = config.get("message-hostname")) {
        const size_t len = std::strlen(host);
        fc.host.assign(host, host + len);
    } else {
        getHostname(fc.host);
    }

    static const std::pair<const char*, bool> syslogFormats[] = {
        {"bsd", true}, {"rfc3164", true}, {"rfc5424", false}, {"none", false}};
    readWord(config, "message-syslog-format", syslogFormats, fc.rfc3164,
             "Unknown message-syslog-format specified in config file: ");

    if (const char* value = config.get("message-syslog-priority")) {
        const auto priority = static_cast<uint32_t>(readNumber(value));
        if (priority == 0)
            fail(std::string("Invalid message-syslog-priority specified in config file: ") + value);
        fc.priority = priority;
    }

    fc.pid = static_cast<uint32_t>(getpid());
}

void configureMessageQueue(ConfigFile& config, ns::event::queue::EventQueueConfig& qc)
{
    if (const char* value = config.get("message-queue-size")) {
        const int64_t size = readNumber(value);
        if (size == 0)
            fail(std::string("Invalid message-queue-size specified in config file: ") + value);
        qc.size = static_cast<uint64_t>(size);
    }
    static const std::pair<const char*, bool> recovery[] = {{"on", true}, {"off", false}};
    readWord(config, "message-queue-recovery", recovery, qc.recovery,
             "Unknown message-queue-recovery specified in config file: ");
    qc.filename = "message.queue";
    if (const char* value = config.get("message-queue-filename"))
        qc.filename = value;
    // An empty name could never be written at stop; say so now, not then.
    if (qc.recovery && qc.filename.empty())
        fail("Invalid message-queue-filename specified in config file: " + qc.filename);
}

void configureForwarders(ConfigFile& config, ns::worker::forwarder::ForwardersConfig& fc)
{
    uint32_t id = 0;
    for (const std::string& value : config.getList("forwarder")) {
        try {
            ns::worker::forwarder::ForwarderConfig forwarder;
            forwarder.id = id++;
            ns::worker::forwarder::parseForwarder(value.c_str(), forwarder);
            forwarder.forceStdout = force_stdout;
            fc.forwarders.push_back(forwarder);
        } catch (const std::exception& e) {
            fail(std::string("Invalid forwarder specified in config file (") + e.what() + "): " + value);
        }
    }
}

void configureListeners(ConfigFile& config, ns::worker::listener::ListenersConfig& lc)
{
    uint32_t id = 0;
    for (const std::string& value : config.getList("listener")) {
        try {
            ns::worker::listener::ListenerConfig listener;
            listener.id = id++;
            ns::worker::listener::parseListener(value.c_str(), listener);
            lc.listeners.push_back(listener);
        } catch (const std::exception& e) {
            fail(std::string("Invalid listener specified in config file (") + e.what() + "): " + value);
        }
    }
}

void configureBackgroundLogger(ConfigFile& config, ns::worker::logger::BackgroundLoggerConfig& bc)
{
    if (const char* value = config.get("metrics-interval")) {
        const int64_t interval = readNumber(value);
        // The field is 32 bits wide: a larger value would wrap, possibly to 0.
        if (interval < 1 || interval > static_cast<int64_t>(UINT32_MAX))
            fail(std::string("Invalid metrics-interval specified in config file: ") + value);
        bc.interval = static_cast<uint32_t>(interval);
    }
    static const std::pair<const char*, bool> formats[] = {{"json", true}, {"kv", false}};
    readWord(config, "metrics-format", formats, bc.json, "Invalid metrics-format specified in config file: ");
}

namespace {

// The workers that run() starts; stops and joins whatever was started even
// when start-up fails midway, so no thread outlives the objects it uses.
class Pipeline {
public:
    std::vector<ns::worker::forwarder::Forwarder*> forwarders;
    std::vector<ns::worker::listener::Listener*> listeners;
    std::unique_ptr<ns::worker::logger::BackgroundLogger> logger;
    size_t startedForwarders = 0;
    size_t startedListeners = 0;
    bool loggerStarted = false;
    bool joined = false;

    ~Pipeline()
    {
        stopAndJoin();
        if (!logger)
            for (auto* f : forwarders)
                delete f;
    }

    void start()
    {
        // Threads inherit the mask: SIGINT and SIGTERM reach only the main
        // thread, so no worker's wait is cut short by them.
        sigset_t block;
        sigset_t old;
        sigemptyset(&block);
        sigaddset(&block, SIGINT);
        sigaddset(&block, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &block, &old);
        struct RestoreMask {
            const sigset_t& mask;
            ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
        } restore{old};
        for (auto* f : forwarders) {
            f->startProcessLoopThread();
            ++startedForwarders;
        }
        for (auto* l : listeners) {
            l->startProcessLoopThread();
            ++startedListeners;
        }
        logger->startProcessLoopThread();
        loggerStarted = true;
    }

    void stopAndJoin()
    {
        if (joined)
            return;
        joined = true;
        for (size_t i = 0; i < startedListeners; ++i)
            listeners[i]->stopProcessLoopThread();
        for (size_t i = 0; i < startedForwarders; ++i)
            forwarders[i]->stopProcessLoopThread();
        if (loggerStarted)
            logger->stopProcessLoopThread();
        for (size_t i = 0; i < startedListeners; ++i)
            listeners[i]->joinProcessLoopThread();
        for (size_t i = 0; i < startedForwarders; ++i)
            forwarders[i]->joinProcessLoopThread();
        if (loggerStarted)
            logger->joinProcessLoopThread();
    }
};

void runPipeline(ConfigFile& config)
{
    ns::event::format::EventFormatterConfig formatterConfig;
    ns::event::queue::EventQueueConfig queueConfig;
    ns::worker::forwarder::ForwardersConfig forwardersConfig;
    ns::worker::listener::ListenersConfig listenersConfig;
    ns::worker::logger::BackgroundLoggerConfig loggerConfig;
    configureMessageFormatter(config, formatterConfig);
    configureMessageQueue(config, queueConfig);
    configureForwarders(config, forwardersConfig);
    configureListeners(config, listenersConfig);
    configureBackgroundLogger(config, loggerConfig);

    // The formatter keeps a decoding workspace, so each forwarder gets one
    // of its own built from the same settings instead of sharing a lock.
    std::vector<std::unique_ptr<ns::net::dns::DnsMessageEventFormatter>> formatters;
    formatters.push_back(std::make_unique<ns::net::dns::DnsMessageEventFormatter>(formatterConfig));
    ns::event::queue::EventQueue queue(queueConfig);

    Pipeline pipeline;
    for (const auto& fc : forwardersConfig.forwarders) {
        if (!pipeline.forwarders.empty())
            formatters.push_back(std::make_unique<ns::net::dns::DnsMessageEventFormatter>(formatterConfig));
        ns::worker::forwarder::ForwarderContext context;
        context.eventQueue = &queue;
        context.formatter = formatters.back().get();
        pipeline.forwarders.push_back(new ns::worker::forwarder::Forwarder(fc, context));
    }
    for (const auto& lc : listenersConfig.listeners) {
        ns::worker::listener::ListenerContext context;
        context.eventQueue = &queue;
        pipeline.listeners.push_back(new ns::worker::listener::Listener(lc, context));
    }
    ns::worker::logger::BackgroundLoggerContext loggerContext;
    loggerContext.listeners = pipeline.listeners;
    loggerContext.eventQueue = &queue;
    loggerContext.forwarders = pipeline.forwarders;
    pipeline.logger = std::make_unique<ns::worker::logger::BackgroundLogger>(loggerConfig, loggerContext);

    if (!force_stdout)
        queue.recover();

    pipeline.start();
    waitForStop();
    pipeline.stopAndJoin();

    if (!force_stdout)
        queue.persist();
    ns::log::info("Stopped");
}

} // namespace

void run()
{
    installSignals();
    try {
        ns::log::info("Started");
        const std::string directory = getBasename(config_filename);
        ns::log::info(("Changing directory to " + directory).c_str());
        ns::net::init();
        ns::log::info((std::string("Reading config from ") + config_filename).c_str());
        // The file is read by the path as given from the starting directory,
        // and only then is the working directory changed.
        ConfigFile config;
        config.read(config_filename);
        (void)!chdir(directory.c_str());
        runPipeline(config);
    } catch (const std::exception& e) {
        ns::log::error((std::string("Run failed: ") + e.what()).c_str());
        run_failed = true;
    }
}

int quorvalexMain(int argc, char** argv)
{
    const bool runStdout = argc >= 3 && std::strcmp(argv[1], "run-stdout") == 0;
    if (runStdout || (argc >= 3 && std::strcmp(argv[1], "run") == 0)) {
        ns::log::init(false);
        config_filename = argv[2];
        force_stdout = runStdout;
        run();
        return run_failed ? 1 : 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "print-psl") == 0) {
        for (const std::string& rule : ns::net::dns::getPslDomainSuffixes())
            std::cout << "domain-suffix " << rule << std::endl;
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "version") == 0) {
        std::cout << VERSION << std::endl;
        return 0;
    }
    usage();
}
