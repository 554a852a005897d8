#pragma once

// writeAll: every byte to a descriptor, or a plain false.

#include <QByteArrayView>

// Writes all bytes to a file descriptor with as few write() calls as the
// kernel allows, retrying short writes and EINTR. Unbuffered on purpose:
// diagnostic and progress lines must appear at once and whole. Returns false
// when the bytes could not all be written (a closed pipe, a full disk).
bool writeAll(int fd, QByteArrayView bytes);
