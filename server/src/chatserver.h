// ChatServer: the chat room of quillet-server, built on varrow::Socket.
//
// One listening Socket hands every incoming connection to a Socket of its own (a session). The
// first message of a session is its login; after it the session's room messages are relayed to
// everyone, private chat requests go to their target, busy and free notices to everyone else (and
// a newcomer is told who is busy already, after the user list).
// Everything runs on the thread that owns the server, driven by the sockets' signals.
//
// One host cannot lock the others out: a connection that has not logged in within the login
// time-out is closed, and one remote address holds at most a set number of connections; the ones
// over it are closed at once. Nor can it flood the log: what its connections that never logged in
// cause is written a few lines a minute at most, the rest counted in one line per address a minute.
#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QLoggingCategory>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <vector>

Q_DECLARE_LOGGING_CATEGORY(lcChatServer)

namespace varrow {
class Socket;
}

namespace quillet::server {

class ChatServer : public QObject
{
    Q_OBJECT

public:
    struct Statistics {
        quint64 logins = 0;
        quint64 roomMessages = 0;  // room messages relayed (each counted once, not per receiver)
        int peakOnline = 0;
    };

    explicit ChatServer(QObject *parent = nullptr);
    ~ChatServer() override;

    // Known users and their passwords. With an empty table (the default) every name that passes
    // the name rules may log in with any password.
    void setUsers(const QHash<QString, QString> &passwords);

    // Connections one remote address may hold, logged in or not (0: no limit); 16 by default.
    void setMaxPerAddress(int connections);
    // Time a new connection has to send its login before it is closed (0: no limit); 10 s by default.
    void setLoginTimeout(int milliseconds);

    // Starts listening on address (dotted IPv4, "0.0.0.0" for every local address) at port (0 picks
    // a free one: see port()). False with errorString() set when that fails.
    bool listen(const QString &address, quint16 port);
    quint16 port() const;
    QString errorString() const;

    // Disconnects every client, without removal notices, and stops listening.
    void close();

    QStringList onlineUsers() const;  // logged-in names, in login order
    int connectionCount() const;      // open connections, logged in or not
    Statistics statistics() const;

private:
    struct Session;
    enum class End { Quiet, Logout, Drop };

    void onConnectionRequest(qint32 &listeningHandle);
    bool takeConnection(qint32 listeningHandle);
    void refuseConnection(qint32 listeningHandle);
    bool mayLog(const QString &address, bool overLimit);
    void reportUnlogged(bool all);
    void refuseRequest(Session *session, const QString &reason);
    void onMessage(Session *session, const QString &message);
    void onLogin(Session *session, const QString &message);
    QString loginProblem(const QString &name, const QString &password) const;
    bool deliver(Session *session, const QString &message);
    void sendOutboxes();
    // Hands what was gathered for the client to its socket; one that has stopped reading (its
    // socket takes no more) is dropped: false then.
    bool sendOutbox(Session *session);
    void broadcast(const QString &message, Session *except);
    void endSession(Session *session, End how, const QString &reason);

    varrow::Socket *m_listener = nullptr;
    quint16 m_port = 0;
    QString m_error;
    QHash<QString, QString> m_passwords;
    QSet<Session *> m_sessions;       // every open connection
    QList<Session *> m_online;        // logged in, in login order
    QHash<QString, Session *> m_byName;
    std::vector<Session *> m_outboxes; // sessions with output gathered in this turn of the loop
    int m_nextId = 0;
    int m_spareDescriptor = -1; // given up to turn a connection away when descriptors run out
    int m_refused = 0;          // connections turned away since the last one accepted
    int m_maxPerAddress = 16;
    int m_loginTimeoutMs = 10'000;
    QHash<QString, int> m_perAddress; // open connections by remote address
    // Lines about one address's connections that did not log in (refused over the limit, refused
    // logins, drops before a login) within the current minute: what was written, what was counted.
    struct Unlogged {
        qint64 since = 0;             // start of the minute (m_clock, ms)
        int lines = 0;                // refused logins and drops written in it
        bool overLimitLogged = false; // the address's first refusal over the limit was written
        int overLimit = 0;            // refusals over the limit counted, not written
        int others = 0;               // refused logins and drops counted, not written
    };
    QHash<QString, Unlogged> m_unlogged; // addresses with such lines in the last minute or two
    QTimer m_unloggedTimer;              // writes the counts, one line per address a minute at most
    QElapsedTimer m_clock;
    Statistics m_stats;
};

} // namespace quillet::server
