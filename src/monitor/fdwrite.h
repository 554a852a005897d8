#pragma once

#include <QByteArrayView>

// Writes all bytes to a file descriptor, retrying short writes and EINTR.
// Output is unbuffered on purpose: the monitor's lines must appear at once
// and in order with the command's lines, whoever reads them. Errors (a
// closed pipe, a full disk) are dropped; there is nowhere to report them.
void writeAll(int fd, QByteArrayView bytes);
