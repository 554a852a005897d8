#pragma once

// The monitor's exit statuses, one per way a run can end. README.md lists
// them for the scripts that call the monitor; keep the two in step.
enum ExitCode : int {
    ExitSuccess = 0,          // DONE arrived and the command (if any) exited 0
    ExitSetupFailed = 1,      // could not listen (TMPDIR not a directory, say), or could not open the log file
    ExitUsage = 2,            // bad command line
    ExitNameBusy = 3,         // a live server already listens under the name
    ExitNoConnection = 4,     // no start message in time, or the command exited without connecting
    ExitClosedBeforeDone = 5, // the connection closed without a DONE message
    ExitProtocolError = 6,    // a malformed message arrived
    ExitCommandFailed = 7,    // the command exited non-zero, was killed, or could not start
    ExitOutputFailed = 8,     // would have been 0, but the log, standard output or standard error was not written
    ExitSignalBase = 128,     // 128 + N: stopped by signal N (130 SIGINT, 143 SIGTERM)
};
