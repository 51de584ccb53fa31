#include "testclient.h"

#include <serverprotocol.h>

#include <QDeadlineTimer>
#include <QSignalSpy>

#include <sys/socket.h>

namespace proto = quillet::ServerProtocol;

TestClient::TestClient(QObject *parent) : QObject(parent)
{
    connect(&socket, &QTcpSocket::readyRead, this, &TestClient::onReadyRead);
    connect(&socket, &QTcpSocket::stateChanged, this, &TestClient::activity);
}

bool TestClient::waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        const qint64 left = deadline.remainingTime();
        if (left <= 0)
            return false;
        QSignalSpy spy(this, &TestClient::activity);
        spy.wait(int(left));
    }
    return true;
}

bool TestClient::connectTo(quint16 port)
{
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    return socket.waitForConnected(10000);
}

bool TestClient::join(quint16 port, const QString &userName, const QString &password)
{
    name = userName;
    if (!connectTo(port))
        return false;
    send(proto::loginMessage(userName, password));
    return waitUntil(
        [&] {
            for (const QString &message : std::as_const(messages)) {
                const auto room = proto::cutRoomMessage(message);
                if (room && room->name == u"Server")
                    return true;
            }
            return socket.state() != QAbstractSocket::ConnectedState;
        },
        10000)
        && isConnected();
}

void TestClient::send(const QString &message)
{
    sendRaw(message.toLatin1() + '\0');
}

void TestClient::sendRaw(const QByteArray &bytes)
{
    socket.write(bytes);
    socket.flush();
}

void TestClient::reset()
{
    const linger noLinger{1, 0};
    ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
    socket.abort();
}

bool TestClient::waitForCount(qsizetype count, int timeoutMs)
{
    return waitUntil([&] { return messages.size() >= count; }, timeoutMs);
}

bool TestClient::waitForDisconnected(int timeoutMs)
{
    return waitUntil([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}

std::optional<QStringList> TestClient::takeUntilRoomText(const QString &text, int timeoutMs)
{
    qsizetype found = -1;
    const bool ok = waitUntil(
        [&] {
            for (qsizetype i = 0; i < messages.size(); ++i) {
                const auto room = proto::cutRoomMessage(messages.at(i));
                if (proto::classify(messages.at(i)) == proto::Kind::Room && room && room->text == text) {
                    found = i;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    if (!ok)
        return std::nullopt;
    const QStringList before = messages.mid(0, found);
    messages.remove(0, found + 1);
    return before;
}

void TestClient::onReadyRead()
{
    m_partial += socket.readAll();
    qsizetype start = 0;
    for (qsizetype end = m_partial.indexOf('\0'); end >= 0; end = m_partial.indexOf('\0', start)) {
        const QString message = QString::fromLatin1(m_partial.constData() + start, end - start);
        start = end + 1;
        if (keepMessages)
            messages << message;
        emit messageArrived(message);
    }
    m_partial.remove(0, start);
    emit activity();
}
