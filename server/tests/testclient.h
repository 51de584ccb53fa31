// A chat client for the server's tests: a QTcpSocket that cuts what it receives at 0 bytes.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QTcpSocket>

#include <functional>
#include <optional>

class TestClient : public QObject
{
    Q_OBJECT

public:
    explicit TestClient(QObject *parent = nullptr);

    bool connectTo(quint16 port);
    // Connects, logs in and waits for the whole welcome (up to the server's greeting).
    bool join(quint16 port, const QString &name, const QString &password = QStringLiteral("pw"));

    void send(const QString &message); // Latin-1, then the 0 byte
    void sendRaw(const QByteArray &bytes);
    // Closes with a reset instead of an orderly close.
    void reset();

    // Runs the event loop until done() holds, checking after everything this client receives
    // and every change of its connection; false on time-out.
    bool waitUntil(const std::function<bool()> &done, int timeoutMs = 10000);
    bool waitForCount(qsizetype count, int timeoutMs = 10000);
    bool waitForDisconnected(int timeoutMs = 10000);
    // Waits for a room message whose text is `text` and returns everything received before it
    // (removing all of that and the message itself); fails the wait with an empty optional.
    std::optional<QStringList> takeUntilRoomText(const QString &text, int timeoutMs = 10000);
    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }

    QString name;
    QStringList messages; // everything received, in order (unless keepMessages is false)
    bool keepMessages = true;
    QTcpSocket socket;

signals:
    void messageArrived(const QString &message);
    void activity(); // something arrived, or the connection changed state

private:
    void onReadyRead();
    QByteArray m_partial;
};
