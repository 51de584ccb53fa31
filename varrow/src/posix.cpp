#include "posix.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace varrow::detail {

bool wouldBlock(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK;
}

void closeDescriptor(int fd)
{
    ::close(fd);
}

bool setBlocking(int fd, bool blocking)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

QByteArray toLatin1(const QString &text)
{
    QByteArray out;
    out.reserve(text.size() + 1);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c <= 0xFF) {
            out.append(char(c));
            continue;
        }
        out.append('?');
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
    }
    return out;
}

std::optional<in_addr> dottedAddress(const QByteArray &text)
{
    in_addr address{};
    if (text.isEmpty() || text.contains('\0') || ::inet_pton(AF_INET, text.constData(), &address) != 1)
        return std::nullopt;
    return address;
}

std::optional<in_addr> lookUpName(const QByteArray &name)
{
    if (name.isEmpty() || name.contains('\0'))
        return std::nullopt;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found)
        return std::nullopt;
    const in_addr address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return address;
}

int startConnect(int fd, in_addr address, quint16 port)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr = address;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0)
        return 0;
    // Interrupted by a signal, the handshake goes on as if it had been started without a wait.
    return errno == EINTR ? EINPROGRESS : errno;
}

bool connectEnded(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready != 0; // an error of poll itself ends the wait too; connectOutcome tells why
}

int connectOutcome(int fd)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}

} // namespace varrow::detail
