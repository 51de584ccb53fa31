// The POSIX calls under varrow::Socket: text to bytes, host addresses, and the steps of a
// connect that does not block.
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

// The address of a dotted IPv4 text, without any lookup.
std::optional<in_addr> dottedAddress(const QByteArray &text);
// The first IPv4 address that a lookup of the host name gives (getaddrinfo: it may block for as
// long as the resolver takes).
std::optional<in_addr> lookUpName(const QByteArray &name);

// Starts connecting the non-blocking socket fd to address:port: 0 when the connection is made at
// once, EINPROGRESS while the handshake runs (the socket turns writable when it ends; see
// connectOutcome), or the errno of the failure.
int startConnect(int fd, in_addr address, quint16 port);
// Whether the handshake of fd has ended (without waiting).
bool connectEnded(int fd);
// The outcome of an ended handshake: 0 for a connection, else why it failed (ECONNREFUSED, ...).
int connectOutcome(int fd);

} // namespace varrow::detail
