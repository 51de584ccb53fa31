// A chat client for the server's tests: a QTcpSocket that cuts what it receives at 0 bytes and
// reads it with the client's own protocol code, so what passes is what a Quillet client understands.
#pragma once

#include <serverprotocol.h>

#include <QTcpSocket>
#include <QTest>

#include <functional>
#include <optional>
#include <sys/socket.h>

struct TestClient {
    QTcpSocket socket;
    QString name;
    QStringList messages; // everything received, in order
    QByteArray partial;

    TestClient()
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] {
            partial += socket.readAll();
            for (qsizetype end; (end = partial.indexOf('\0')) >= 0; partial.remove(0, end + 1))
                messages.append(QString::fromLatin1(partial.constData(), end));
        });
    }

    bool connectTo(quint16 port)
    {
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        return socket.waitForConnected(10000);
    }

    // Connects, logs in and waits for the whole welcome, whose last message is the greeting.
    bool join(quint16 port, const QString &userName, const QString &password = QStringLiteral("pw"))
    {
        namespace proto = quillet::ServerProtocol;
        name = userName;
        if (!connectTo(port))
            return false;
        send(proto::loginMessage(userName, password));
        return waitUntil([&] {
            return !isConnected() || (!messages.isEmpty() && proto::classify(messages.last()) == proto::Kind::Room);
        }) && isConnected();
    }

    void send(const QString &message) { sendRaw(message.toLatin1() + '\0'); }
    void sendRaw(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    void reset() // closes with a reset instead of an orderly close
    {
        const linger noLinger{1, 0};
        ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
        socket.abort();
    }
    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }
    bool waitForDisconnected() { return waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }); }

    // Runs the event loop until done() holds; false after ten seconds.
    static bool waitUntil(const std::function<bool()> &done) { return QTest::qWaitFor(done, 10000); }

    // Waits for a room message whose text is `text`; removes it and everything before it from
    // messages and returns what came before it (nullopt on time-out).
    std::optional<QStringList> takeUntilRoomText(const QString &text)
    {
        namespace proto = quillet::ServerProtocol;
        const auto found = [&] {
            for (qsizetype i = 0; i < messages.size(); ++i)
                if (const auto room = proto::cutRoomMessage(messages.at(i));
                    room && room->text == text && proto::classify(messages.at(i)) == proto::Kind::Room)
                    return i;
            return qsizetype(-1);
        };
        if (!waitUntil([&] { return found() >= 0; }))
            return std::nullopt;
        const qsizetype at = found();
        const QStringList before = messages.first(at);
        messages.remove(0, at + 1);
        return before;
    }
};
