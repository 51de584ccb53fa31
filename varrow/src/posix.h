// The POSIX calls under varrow::Socket that are worth exercising on their own: text to bytes,
// host resolution, and a connect with an upper bound on its wait.
#pragma once

#include <QByteArray>
#include <QString>

#include <netinet/in.h>

#include <optional>

namespace varrow::detail {

// EAGAIN or EWOULDBLOCK.
bool wouldBlock(int error);
// close() without a retry on EINTR (on Linux the descriptor is gone either way, and a retry
// could close a number that has just been handed out again).
void closeDescriptor(int fd);
bool setBlocking(int fd, bool blocking);

// One byte per character; a character that Latin-1 cannot hold (a surrogate pair counts as one
// character) becomes '?'. No terminator is added.
QByteArray toLatin1(const QString &text);

// A dotted IPv4 address as it is, else the first IPv4 address that a lookup of the name gives.
std::optional<in_addr> resolveHost(const QString &host);

// Connects the non-blocking socket fd to address:port, waiting at most timeoutMs for the
// handshake. False when it failed or did not complete in time; errno then tells why (ETIMEDOUT for
// the time-out).
bool connectWithin(int fd, in_addr address, quint16 port, int timeoutMs);

} // namespace varrow::detail
