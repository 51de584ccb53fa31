// A chat server played by the test: listens on 127.0.0.1 at a port the system picks, records every
// 0-terminated message each client sends (bytes as Latin-1 text), and sends what the test says.
//
//   LoopbackServer server;
//   ... the client connects to server.port() ...
//   QTRY_COMPARE(server.messages(0), QStringList{"ann///pw"});
//   server.send(0, "login successful");
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

namespace quillet::test {

class LoopbackServer : public QObject
{
    Q_OBJECT

public:
    explicit LoopbackServer(QObject *parent = nullptr);
    ~LoopbackServer() override;

    quint16 port() const;
    // Connections accepted so far, in order; index 0 is the first.
    int connectionCount() const { return int(clients_.size()); }
    // Complete messages received on a connection, without their 0 bytes.
    QStringList messages(int connection) const;
    // Every byte received on a connection, 0 bytes included.
    QByteArray received(int connection) const;
    bool isOpen(int connection) const;

    // Sends `message` and its 0 byte.
    void send(int connection, const QString &message);
    // Sends bytes as they are (to test framing).
    void sendRaw(int connection, const QByteArray &bytes);
    // Closes the server's end of a connection.
    void close(int connection);

    // A port on 127.0.0.1 on which nothing listens (was free a moment ago).
    static quint16 unusedPort();

signals:
    void messageReceived(int connection, const QString &message);
    void connectionClosed(int connection);

private:
    struct Client
    {
        QTcpSocket *socket = nullptr;
        QByteArray received;
        QByteArray pending;
        QStringList messages;
        bool open = true;
    };
    void accept();
    void read(int connection);

    QTcpServer server_;
    QList<Client *> clients_;
};

} // namespace quillet::test
