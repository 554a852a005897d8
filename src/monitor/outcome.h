#pragma once

#include "commandrunner.h"
#include "exitcodes.h"

#include <QString>

#include <optional>

// Everything a finished run observed that bears on its exit status.
struct SessionFacts
{
    int interruptedBy = 0;           // signal number, 0 if none
    QString protocolError;           // empty if the stream was well-formed
    bool timedOut = false;           // no installer connected within the time-out
    double timeoutSeconds = 0;
    bool installerConnected = false; // a connection sent at least one byte
    bool doneReceived = false;
    QString outputFailure;           // the first output that could not be written ("cannot write ..."), if any
    std::optional<Ostrel::CommandResult> command; // set when a command was run
    // A failed installer's own words, with its status and what that means:
    // "fail to find sources at /x (installer status 2: SOURCE is missing)";
    // empty when the command wrote no diagnostic line.
    QString installerReason;
};

struct Outcome
{
    int exitCode = ExitSuccess;
    QString reason; // one line, empty on success
    std::optional<int> commandStatus = std::nullopt; // the command's exit status, when it exited
};

// Several things can go wrong in one run; the most telling one is reported:
// an interruption, then a malformed stream, then a missed connection, then
// the command's own failure, then a missing DONE. An output that could not
// be written fails only a run that would otherwise have succeeded.
Outcome decideOutcome(const SessionFacts &facts);
