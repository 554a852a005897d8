#include "outputflusher.h"

#include "log.h"
#include "pipeclient.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QtGlobal>

namespace {

const int flushIntervalMs = 50;

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
    stopSignalsFd.reset(::signalfd(-1, &stopSet, SFD_CLOEXEC));
    wakeUp.reset(::eventfd(0, EFD_CLOEXEC));
    thread = std::thread([this] { run(); });
}

OutputFlusher::~OutputFlusher()
{
    stopping = true; // seen within one interval, if the wake-up is not
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeUp.get(), &one, sizeof one);
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
    pollfd events[2] = {{stopSignalsFd.get(), POLLIN, 0}, {wakeUp.get(), POLLIN, 0}};
    while (!stopping) {
        const int ready = ::poll(events, 2, flushIntervalMs);
        flush();
        if (ready > 0 && (events[1].revents & POLLIN))
            return;
        signalfd_siginfo received;
        if (ready > 0 && (events[0].revents & POLLIN) && ::read(stopSignalsFd.get(), &received, sizeof received) == sizeof received) {
            // End the process as the signal would have, now that nothing
            // is left unwritten.
            const int signal = int(received.ssi_signo);
            std::signal(signal, SIG_DFL);
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, signal);
            pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
            raise(signal);
        }
    }
}
