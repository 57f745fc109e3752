// The daemon's entry point and the frame of one run: command dispatch,
// signal handling, the configure functions that turn configuration entries
// into the settings records of the pipeline, and the ordered start and stop.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "app/config.h"
#include "dns/format.h"
#include "pipeline/queue.h"
#include "pipeline/worker/forwarder.h"
#include "pipeline/worker/listener.h"
#include "pipeline/worker/logger.h"

using ns::app::config::ConfigFile;

extern const char* config_filename;
extern bool force_stdout;
extern std::mutex stop_mtx;
extern std::condition_variable stop_cv;
// Set by the signal handler; lock-free so the handler may write it.
extern std::atomic<bool> stop_requested;
// Set when run() reported "Run failed: "; the process then exits with 1.
extern bool run_failed;

int quorvalexMain(int argc, char** argv);

[[noreturn]] void usage();
void installSignals();
void onSignal(int signum);
// The directory part of a path: "." without a "/", "/" for "/x".
std::string getBasename(const char* path);
void run();

// Blocks until a stop has been requested.
void waitForStop();
void requestStop();

void configureMessageFormatter(ConfigFile& config, ns::event::format::EventFormatterConfig& formatterConfig);
void configureMessageQueue(ConfigFile& config, ns::event::queue::EventQueueConfig& queueConfig);
void configureForwarders(ConfigFile& config, ns::worker::forwarder::ForwardersConfig& forwardersConfig);
void configureListeners(ConfigFile& config, ns::worker::listener::ListenersConfig& listenersConfig);
void configureBackgroundLogger(ConfigFile& config, ns::worker::logger::BackgroundLoggerConfig& loggerConfig);
void getHostname(std::vector<unsigned char>& host);
