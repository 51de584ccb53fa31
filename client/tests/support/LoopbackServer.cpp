#include "LoopbackServer.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace quillet::test {

LoopbackServer::LoopbackServer(QObject *parent)
    : QObject(parent)
{
    connect(&server_, &QTcpServer::newConnection, this, &LoopbackServer::accept);
    if (!server_.listen(QHostAddress::LocalHost, 0))
        qFatal("LoopbackServer: cannot listen on 127.0.0.1: %s", qPrintable(server_.errorString()));
}

LoopbackServer::~LoopbackServer()
{
    for (Client *client : std::as_const(clients_)) {
        client->socket->disconnect(this);
        delete client;
    }
}

quint16 LoopbackServer::port() const
{
    return server_.serverPort();
}

QStringList LoopbackServer::messages(int connection) const
{
    return connection < clients_.size() ? clients_[connection]->messages : QStringList();
}

QByteArray LoopbackServer::received(int connection) const
{
    return connection < clients_.size() ? clients_[connection]->received : QByteArray();
}

bool LoopbackServer::isOpen(int connection) const
{
    return connection < clients_.size() && clients_[connection]->open;
}

void LoopbackServer::send(int connection, const QString &message)
{
    QByteArray bytes = message.toLatin1();
    bytes.append('\0');
    sendRaw(connection, bytes);
}

void LoopbackServer::sendRaw(int connection, const QByteArray &bytes)
{
    Q_ASSERT(connection < clients_.size());
    clients_[connection]->socket->write(bytes);
    clients_[connection]->socket->flush();
}

void LoopbackServer::close(int connection)
{
    Q_ASSERT(connection < clients_.size());
    clients_[connection]->socket->disconnectFromHost();
}

quint16 LoopbackServer::unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

void LoopbackServer::accept()
{
    while (QTcpSocket *socket = server_.nextPendingConnection()) {
        const int index = int(clients_.size());
        auto *client = new Client;
        client->socket = socket;
        socket->setParent(this);
        clients_.append(client);
        connect(socket, &QTcpSocket::readyRead, this, [this, index] { read(index); });
        connect(socket, &QTcpSocket::disconnected, this, [this, index] {
            read(index);
            clients_[index]->open = false;
            emit connectionClosed(index);
        });
        read(index);
    }
}

void LoopbackServer::read(int connection)
{
    Client *client = clients_[connection];
    const QByteArray bytes = client->socket->readAll();
    client->received += bytes;
    client->pending += bytes;
    qsizetype end;
    while ((end = client->pending.indexOf('\0')) >= 0) {
        const QString message = QString::fromLatin1(client->pending.first(end));
        client->pending.remove(0, end + 1);
        client->messages.append(message);
        emit messageReceived(connection, message);
    }
}

} // namespace quillet::test
