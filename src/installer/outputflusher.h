#pragma once

// Writes the installer's batched output, the diagnostic lines and the
// progress messages, at least every 50 ms from a thread of its own, and on
// SIGINT or SIGTERM writes all of it before the process ends by that signal.
// So batching saves system calls without holding any line back for long or
// losing it. Should no thread be had, nothing is taken over, and the
// caller writes everything at once instead of batching it.

#include "uniquefd.h"

#include <atomic>
#include <mutex>
#include <thread>

class PipeClient;

class OutputFlusher
{
public:
    // One for the process, made before the install starts. Takes over
    // SIGINT and SIGTERM (their handler only tells the flusher's thread,
    // which writes everything and then ends the process by them) and turns
    // the batching of diagnostic lines on.
    OutputFlusher();
    // Stops the thread, turns batching off, writes what is queued and gives
    // SIGINT and SIGTERM their default back; one that came meanwhile then
    // ends the process.
    ~OutputFlusher();
    OutputFlusher(const OutputFlusher &) = delete;
    OutputFlusher &operator=(const OutputFlusher &) = delete;

    // Whether the thread runs: only then may output be batched.
    bool isRunning() const { return thread.joinable(); }

    // The client whose messages to flush too; nullptr before it goes away.
    void watch(PipeClient *client);

    // Writes what is queued now.
    void flush();

private:
    void run();

    std::mutex clientMutex;
    PipeClient *client = nullptr;
    std::atomic<bool> stopping{false};
    UniqueFd stopSignalsFd; // the read end of the signal handler's pipe
    UniqueFd wakeUp;  // written to stop the thread at once
    std::thread thread;
};
