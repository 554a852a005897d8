#pragma once

// Text for the progress display, as pure functions of the state so that every
// layout can be checked without a terminal or a clock.

#include "progresstracker.h"

#include <QString>

// One line of at most width - 1 characters (the last column is left free so
// the terminal never wraps), e.g.
//   [##########----------]  50/100  50%  5.0 files/s  00:10 elapsed  00:10 left
// Past the copy, or while one file takes long, the phase ("writing
// everything to disk", "copying lib/big.so") stands in for the rate and the
// times. The bar is dropped when the terminal is too narrow for it, and the
// text is cut when even that does not fit.
QString renderProgressLine(const ProgressSnapshot &snapshot, int width);

// The line left behind when the monitor ends:
//   "done: 100 of 100 files in 00:10 (10.0 files/s)"  once DONE has arrived
//   "stopped: 45 of 100 files (45%) after 00:04"       otherwise
//   "stopped before copying began"                     before START
QString renderSummary(const ProgressSnapshot &snapshot);

// "mm:ss", or "h:mm:ss" from one hour on.
QString formatDuration(qint64 ms);
