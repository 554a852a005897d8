#include "outputflusher.h"

#include "log.h"
#include "pipeclient.h"

#include <csignal>
#include <pthread.h>
#include <time.h>

namespace {

const long flushIntervalNs = 50 * 1000 * 1000;

sigset_t stopSignals()
{
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    return stopSet;
}

} // namespace

OutputFlusher::OutputFlusher()
{
    const sigset_t stopSet = stopSignals();
    pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
    thread = std::thread([this] { run(); });
}

OutputFlusher::~OutputFlusher()
{
    stopping = true;
    thread.join();
    flush();
}

void OutputFlusher::watch(PipeClient *watched)
{
    std::lock_guard<std::mutex> lock(clientMutex);
    client = watched;
}

void OutputFlusher::flush()
{
    ostrel::flushLog();
    std::lock_guard<std::mutex> lock(clientMutex);
    if (client)
        client->flushMessages();
}

void OutputFlusher::run()
{
    const sigset_t stopSet = stopSignals();
    const timespec interval{0, flushIntervalNs};
    while (!stopping) {
        const int signal = sigtimedwait(&stopSet, nullptr, &interval);
        flush();
        if (signal == SIGINT || signal == SIGTERM) {
            // End the process as the signal would have, now that nothing
            // is left unwritten.
            std::signal(signal, SIG_DFL);
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, signal);
            pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
            raise(signal);
        }
    }
}
