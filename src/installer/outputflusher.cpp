#include "outputflusher.h"

#include "log.h"
#include "pipeclient.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QtGlobal>

namespace {

const int flushIntervalMs = 50;

// Where the signal handler writes the number of the signal that arrived:
// all it may safely do. Whichever thread the signal hits, the flusher hears.
int signalWriteEnd = -1;

extern "C" void noteSignal(int signal)
{
    const int saved = errno;
    const char number = char(signal);
    [[maybe_unused]] const ssize_t written = ::write(signalWriteEnd, &number, 1);
    errno = saved;
}

} // namespace

OutputFlusher::OutputFlusher()
{
    wakeUp.reset(::eventfd(0, EFD_CLOEXEC));
    int ends[2];
    if (!wakeUp.isValid() || ::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    stopSignalsFd.reset(ends[0]);
    try {
        thread = std::thread([this] { run(); });
    } catch (const std::exception &) { // no thread to be had: signals keep their default
        ::close(ends[1]);
        return;
    }
    signalWriteEnd = ends[1];
    struct sigaction action = {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    ostrel::batchLogLines(true);
}

OutputFlusher::~OutputFlusher()
{
    if (!thread.joinable()) {
        flush();
        return;
    }
    // A signal from here on waits until everything is written, and then
    // ends the process as it would have.
    sigset_t stops, previous;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, &previous);
    stopping = true; // seen within one interval, if the wake-up is not
    const quint64 one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeUp.get(), &one, sizeof one);
    thread.join();
    ostrel::batchLogLines(false); // writes what is queued
    flush();
    char pendingSignal;
    if (::read(stopSignalsFd.get(), &pendingSignal, 1) == 1) { // came before the block, not yet acted on
        std::signal(pendingSignal, SIG_DFL);
        raise(pendingSignal);
    }
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    ::close(signalWriteEnd);
    signalWriteEnd = -1;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
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
        char signal;
        if (ready > 0 && (events[0].revents & POLLIN) && ::read(stopSignalsFd.get(), &signal, 1) == 1) {
            // End the process as the signal would have, now that nothing
            // is left unwritten.
            std::signal(signal, SIG_DFL);
            raise(signal);
        }
    }
}
