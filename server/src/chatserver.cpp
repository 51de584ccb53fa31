#include "chatserver.h"

#include "chatprotocol.h"

#include <varrow/Socket.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

Q_LOGGING_CATEGORY(lcChatServer, "quillet.server")

namespace quillet::server {

namespace {

constexpr qint64 UnloggedMinuteMs = 60'000; // the period of the counted log lines
constexpr int LinesPerMinute = 10; // refused logins and drops before a login written per address
constexpr int AcceptBatch = 64;            // connections taken in one turn of the event loop at most

QString greeting(const QString &name, int online)
{
    const QString others = online == 1 ? QStringLiteral("You are the only one here.")
                                       : QStringLiteral("%1 users online.").arg(online);
    return QStringLiteral("Welcome, %1. %2").arg(name, others);
}

} // namespace

// One client connection. Sessions are deleted with deleteLater, so a pointer taken during one
// event (a broadcast list, say) stays valid until control is back in the event loop; state tells
// whether the session is still in use.
struct ChatServer::Session : QObject
{
    enum class State { Connected, LoggedIn, Closed };

    explicit Session(QObject *parent) : QObject(parent) {}

    varrow::Socket *socket = nullptr;
    int id = 0;
    State state = State::Connected;
    QString name;
    QString address;         // the client's, for the log
    bool announced = false;  // the others were told that this user joined
    bool busy = false;       // sent "<busy>" and no "<free>" since
    // Messages for this client gathered in the current turn of the event loop, each but the last
    // followed by its 0 character: one Send (one system call) at the end of the turn writes them
    // all, in order, as the same bytes one Send each would have written.
    QString outbox;

    // "alice (#3, 192.168.1.20)", or "#3 (192.168.1.20)" before a login.
    QString label() const
    {
        return name.isEmpty() ? QStringLiteral("#%1 (%2)").arg(id).arg(address)
                              : QStringLiteral("%1 (#%2, %3)").arg(name).arg(id).arg(address);
    }
};

ChatServer::ChatServer(QObject *parent) : QObject(parent)
{
    m_clock.start();
    m_unloggedTimer.setInterval(10'000);
    connect(&m_unloggedTimer, &QTimer::timeout, this, [this] { reportUnlogged(false); });
}

ChatServer::~ChatServer()
{
    close();
}

void ChatServer::setUsers(const QHash<QString, QString> &passwords)
{
    m_passwords = passwords;
}

void ChatServer::setMaxPerAddress(int connections) { m_maxPerAddress = qMax(0, connections); }
void ChatServer::setLoginTimeout(int milliseconds) { m_loginTimeoutMs = qMax(0, milliseconds); }

bool ChatServer::listen(const QString &address, quint16 port)
{
    close();
    m_error.clear();
    const QString canonical = canonicalAddress(address);
    if (canonical.isEmpty()) {
        m_error = QStringLiteral("\"%1\" is not an IPv4 address").arg(address);
        return false;
    }
    m_listener = new varrow::Socket(this);
    connect(m_listener, &varrow::Socket::ConnectionRequest, this, &ChatServer::onConnectionRequest);
    if (!m_listener->Listen(port, canonical)) {
        const int error = m_listener->LastError();
        m_error = error ? QString::fromLocal8Bit(std::strerror(error))
                        : QStringLiteral("the socket layer refused to listen");
        delete m_listener;
        m_listener = nullptr;
        return false;
    }
    m_port = m_listener->LocalPort();
    m_spareDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return true;
}

quint16 ChatServer::port() const { return m_port; }
QString ChatServer::errorString() const { return m_error; }

void ChatServer::close()
{
    if (m_listener) {
        QObject::disconnect(m_listener, nullptr, this, nullptr);
        m_listener->Disconnect();
        m_listener->deleteLater();
        m_listener = nullptr;
        m_port = 0;
    }
    if (m_spareDescriptor >= 0) {
        ::close(m_spareDescriptor);
        m_spareDescriptor = -1;
    }
    const QSet<Session *> sessions = m_sessions;
    for (Session *session : sessions)
        endSession(session, End::Quiet, QString());
    reportUnlogged(true);
}

QStringList ChatServer::onlineUsers() const
{
    QStringList names;
    for (const Session *session : m_online)
        names << session->name;
    return names;
}

int ChatServer::connectionCount() const { return int(m_sessions.size()); }
ChatServer::Statistics ChatServer::statistics() const { return m_stats; }

void ChatServer::onConnectionRequest(qint32 &listeningHandle)
{
    // What is pending is taken in batches, one turn of the event loop each: a host that floods
    // the port then holds the connections queued behind its own up for as short a time as can be.
    const qint32 listener = listeningHandle;
    for (int taken = 0; taken < AcceptBatch; ++taken) {
        pollfd pending{listener, POLLIN, 0};
        if ((taken > 0 && ::poll(&pending, 1, 0) != 1) || !takeConnection(listener))
            break;
    }
}

bool ChatServer::takeConnection(qint32 listeningHandle)
{
    auto socket = std::make_unique<varrow::Socket>();
    qint32 handle = listeningHandle;
    if (!socket->Accept(handle)) {
        socket.reset();
        refuseConnection(listeningHandle);
        return false;
    }
    if (m_refused > 0) {
        qCInfo(lcChatServer).noquote()
            << QStringLiteral("accepting connections again, %1 turned away").arg(m_refused);
        m_refused = 0;
    }
    const QString address = socket->RemoteAddress();
    int &open = m_perAddress[address];
    if (m_maxPerAddress > 0 && open >= m_maxPerAddress) {
        // Closed with a reset: the cheapest end for a host that floods, and no TIME_WAIT left here.
        const linger reset{1, 0};
        ::setsockopt(socket->SocketHandle(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        socket.reset();
        if (mayLog(address, true))
            qCWarning(lcChatServer).noquote()
                << QStringLiteral("refused a connection from %1: it has %2 open, the limit per address "
                                  "(further refusals are counted, one line a minute)")
                       .arg(address)
                       .arg(m_maxPerAddress);
        return true;
    }
    ++open;

    auto *session = new Session(this);
    session->id = ++m_nextId;
    session->address = address;
    session->socket = socket.release();
    session->socket->setParent(session);
    // A longer message, terminated or not, closes the connection (Disconnected with EMSGSIZE).
    session->socket->setMaxMessageSize(MaxMessageBytes);
    connect(session->socket, &varrow::Socket::DataArrival, session,
            [this, session](const QString &message) { onMessage(session, message); });
    connect(session->socket, &varrow::Socket::Disconnected, session, [this, session] {
        const int reason = session->socket->LastError(); // why the socket closed by itself
        if (reason == EMSGSIZE)
            endSession(session, End::Drop, QStringLiteral("message over %1 bytes").arg(MaxMessageBytes));
        else if (reason != 0)
            endSession(session, End::Logout,
                       QStringLiteral("connection lost: %1").arg(QString::fromLocal8Bit(std::strerror(reason))));
        else
            endSession(session, End::Logout, QStringLiteral("connection closed"));
    });
    m_sessions.insert(session);
    if (m_loginTimeoutMs > 0)
        QTimer::singleShot(m_loginTimeoutMs, session, [this, session] {
            if (session->state == Session::State::Connected)
                endSession(session, End::Drop, QStringLiteral("no login within %1 s").arg(m_loginTimeoutMs / 1000.0));
        });
    return true;
}

// Whether a line about a connection from `address` that did not log in may be written now; when
// not, it is counted for the address's line of the minute. Of the refusals over the limit only the
// first is written while the address keeps at it; of the others LinesPerMinute a minute.
bool ChatServer::mayLog(const QString &address, bool overLimit)
{
    auto entry = m_unlogged.find(address);
    if (entry == m_unlogged.end()) {
        entry = m_unlogged.insert(address, Unlogged{m_clock.elapsed()});
        if (!m_unloggedTimer.isActive())
            m_unloggedTimer.start();
    }
    if (overLimit) {
        if (!entry->overLimitLogged) {
            entry->overLimitLogged = true;
            return true;
        }
        ++entry->overLimit;
        return false;
    }
    if (entry->lines < LinesPerMinute) {
        ++entry->lines;
        return true;
    }
    ++entry->others;
    return false;
}

// Writes the counts of the addresses whose minute is over (of all of them when `all`), and
// forgets the addresses that had nothing counted in it.
void ChatServer::reportUnlogged(bool all)
{
    const qint64 now = m_clock.elapsed();
    for (auto entry = m_unlogged.begin(); entry != m_unlogged.end();) {
        if (!all && now - entry->since < UnloggedMinuteMs) {
            ++entry;
        } else if (entry->overLimit == 0 && entry->others == 0) {
            entry = m_unlogged.erase(entry);
        } else {
            QStringList counts;
            if (entry->overLimit > 0)
                counts << QStringLiteral("%1 connections refused over the limit of %2")
                              .arg(entry->overLimit)
                              .arg(m_maxPerAddress);
            if (entry->others > 0)
                counts << QStringLiteral("%1 more refused logins and drops before a login").arg(entry->others);
            qCWarning(lcChatServer).noquote()
                << QStringLiteral("from %1 in the last %2 s, counted, not logged one by one: %3")
                       .arg(entry.key())
                       .arg((now - entry->since + 500) / 1000)
                       .arg(counts.join(QStringLiteral(", ")));
            entry->since = now;
            entry->lines = entry->overLimit = entry->others = 0;
            ++entry;
        }
    }
    if (all)
        m_unlogged.clear();
    if (m_unlogged.isEmpty())
        m_unloggedTimer.stop();
}

// An accept fails when the process is out of descriptors, and the listener then reports the same
// connection again at once. With the spare descriptor given back for a moment the connection can be
// taken and closed, so the server turns it away instead of spinning on it.
void ChatServer::refuseConnection(qint32 listeningHandle)
{
    if (m_spareDescriptor < 0)
        return;
    ::close(m_spareDescriptor);
    bool refused = false;
    {
        varrow::Socket sink;
        qint32 handle = listeningHandle;
        if (sink.Accept(handle)) {
            sink.Disconnect();
            refused = true;
        }
    }
    m_spareDescriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (refused && m_refused++ == 0)
        qCWarning(lcChatServer).noquote()
            << "out of file descriptors: turning new connections away";
}

void ChatServer::onMessage(Session *session, const QString &message)
{
    if (session->state == Session::State::Closed)
        return;
    if (session->state == Session::State::Connected) {
        onLogin(session, message);
        return;
    }

    if (const auto line = parseRoomMessage(message)) {
        ++m_stats.roomMessages;
        broadcast(roomMessage(line->text, line->style, session->name), nullptr);
    } else if (const auto request = parseRequest(message)) {
        // The target's client connects to the address at once: only the requester's own is passed on.
        Session *target = m_byName.value(request->target);
        if (request->address != session->address)
            refuseRequest(session,
                          QStringLiteral("address %1 is not yours (%2)").arg(request->address, session->address));
        else if (!target)
            refuseRequest(session, QStringLiteral("%1 is not online").arg(request->target));
        else
            deliver(target, forwardedRequest(*request, session->name));
    } else if (looksLikeRequest(message)) {
        refuseRequest(session, QStringLiteral("not a valid request")); // no client would act on it
    } else if (isBusyNotice(message)) {
        session->busy = true;
        broadcast(userBusy(session->name), session);
    } else if (isFreeNotice(message)) {
        session->busy = false;
        broadcast(userFree(session->name), session);
    }
    // Anything else is not part of the protocol and is dropped.
}

// Logged, and the requester told at once by a notice in the room, so its client does not wait for
// an answer that cannot come.
void ChatServer::refuseRequest(Session *session, const QString &reason)
{
    qCInfo(lcChatServer).noquote() << QStringLiteral("refused request from %1: %2").arg(session->label(), reason);
    deliver(session, roomMessage(QStringLiteral("Private chat request refused: %1.").arg(reason), QStringLiteral("I"),
                                 QString::fromUtf16(NoticeUser)));
}

QString ChatServer::loginProblem(const QString &name, const QString &password) const
{
    if (const QString problem = nameProblem(name); !problem.isEmpty())
        return problem;
    if (!m_passwords.isEmpty()) {
        const auto known = m_passwords.constFind(name);
        if (known == m_passwords.constEnd())
            return QStringLiteral("unknown name");
        if (*known != password)
            return QStringLiteral("wrong password");
    }
    if (m_byName.contains(name))
        return QStringLiteral("name already online");
    return QString();
}

void ChatServer::onLogin(Session *session, const QString &message)
{
    const auto login = parseLogin(message);
    const QString problem = login ? loginProblem(login->name, login->password)
                                  : QStringLiteral("first message is not NAME///PASSWORD");
    if (!problem.isEmpty()) {
        if (mayLog(session->address, false))
            qCInfo(lcChatServer).noquote()
                << QStringLiteral("refused login %1 \"%2\": %3")
                       .arg(session->label(), printable(login ? login->name : message), problem);
        session->socket->Send(loginRefused());
        endSession(session, End::Quiet, QString());
        return;
    }

    session->name = login->name;
    session->state = Session::State::LoggedIn;
    m_online.append(session);
    m_byName.insert(session->name, session);
    ++m_stats.logins;
    m_stats.peakOnline = qMax(m_stats.peakOnline, int(m_online.size()));
    qCInfo(lcChatServer).noquote()
        << QStringLiteral("login %1, %2 online").arg(session->label()).arg(m_online.size());

    QStringList welcome{loginAccepted()};
    welcome += userAdditions(onlineUsers());
    for (const Session *other : std::as_const(m_online)) // who is busy already, after the list
        if (other->busy)
            welcome += userBusy(other->name);
    welcome += roomMessage(greeting(session->name, int(m_online.size())), QStringLiteral("I"),
                           QString::fromUtf16(NoticeUser));
    for (const QString &text : std::as_const(welcome))
        if (!deliver(session, text))
            return;

    session->announced = true;
    broadcast(userAdditions({session->name}).constFirst(), session);
}

bool ChatServer::deliver(Session *session, const QString &message)
{
    if (session->state == Session::State::Closed)
        return false;
    if (session->outbox.isEmpty()) {
        if (m_outboxes.empty())
            QMetaObject::invokeMethod(this, &ChatServer::sendOutboxes, Qt::QueuedConnection);
        m_outboxes.push_back(session);
        session->outbox = message;
    } else {
        session->outbox += QChar(0);
        session->outbox += message;
        // A client's share of a long burst goes out in pieces of this size, within the turn: the
        // kernel's buffers, not the server's memory, hold what the client has not read yet.
        constexpr qsizetype OutboxLimit = 16 * 1024;
        if (session->outbox.size() >= OutboxLimit && !sendOutbox(session))
            return false;
    }
    return true;
}

void ChatServer::sendOutboxes()
{
    // Dropping a client ends its session, which takes it off the list: walk a copy.
    const std::vector<Session *> sessions = std::exchange(m_outboxes, {});
    for (Session *session : sessions) {
        if (session->state == Session::State::Closed || session->outbox.isEmpty())
            continue;
        sendOutbox(session);
    }
}

bool ChatServer::sendOutbox(Session *session)
{
    if (session->socket->Send(std::exchange(session->outbox, QString())))
        return true;
    endSession(session, End::Drop, QStringLiteral("cannot send: too much unsent output"));
    return false;
}

void ChatServer::broadcast(const QString &message, Session *except)
{
    // A copy: a receiver that has to be dropped leaves m_online while the loop runs.
    const QList<Session *> receivers = m_online;
    for (Session *receiver : receivers)
        if (receiver != except && receiver->announced)
            deliver(receiver, message);
}

void ChatServer::endSession(Session *session, End how, const QString &reason)
{
    if (session->state == Session::State::Closed)
        return;
    // What was gathered for the client goes first, as when every message was written at once.
    if (!session->outbox.isEmpty()) {
        session->socket->Send(std::exchange(session->outbox, QString()));
        std::erase(m_outboxes, session);
    }
    const bool announced = session->announced;
    session->state = Session::State::Closed;
    session->announced = false;
    m_sessions.remove(session);
    if (const auto open = m_perAddress.find(session->address); open != m_perAddress.end() && --*open <= 0)
        m_perAddress.erase(open);
    if (m_byName.value(session->name) == session) {
        m_byName.remove(session->name);
        m_online.removeOne(session);
    }

    QObject::disconnect(session->socket, nullptr, session, nullptr);
    // Inside the socket's own Disconnected handler (the peer closed) this does nothing more.
    session->socket->Disconnect();
    session->deleteLater();

    if (how == End::Logout && !session->name.isEmpty())
        qCInfo(lcChatServer).noquote() << QStringLiteral("logout %1: %2, %3 online")
                                              .arg(session->label(), reason).arg(m_online.size());
    else if (how == End::Drop && (!session->name.isEmpty() || mayLog(session->address, false)))
        qCInfo(lcChatServer).noquote()
            << QStringLiteral("dropped %1: %2").arg(session->label(), reason);

    if (announced && how != End::Quiet)
        broadcast(userRemoval(session->name), nullptr);
}

} // namespace quillet::server
