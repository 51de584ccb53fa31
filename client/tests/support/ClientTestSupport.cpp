#include "ClientTestSupport.h"

#include "Globals.h"
#include "frmAddress.h"
#include "frmMain.h"
#include "frmabout.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QTextBlock>

namespace quillet::test {

LoopbackServer::LoopbackServer()
{
    connect(&server_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server_.nextPendingConnection()) {
            auto *client = new Client{socket, {}};
            clients_.append(client);
            auto read = [client] { client->received += client->socket->readAll(); };
            connect(socket, &QTcpSocket::readyRead, this, read);
            connect(socket, &QTcpSocket::disconnected, this, [client, read] {
                read();
                client->open = false;
            });
            read();
        }
    });
    if (!server_.listen(QHostAddress::LocalHost, 0))
        qFatal("LoopbackServer: %s", qPrintable(server_.errorString()));
}

LoopbackServer::~LoopbackServer()
{
    for (Client *client : std::as_const(clients_)) {
        client->socket->disconnect(this);
        delete client->socket;
        delete client;
    }
}

QByteArray LoopbackServer::received(int connection) const
{
    return connection < clients_.size() ? clients_[connection]->received : QByteArray();
}

QStringList LoopbackServer::messages(int connection) const
{
    QStringList list = QString::fromLatin1(received(connection)).split(QChar(0));
    list.removeLast(); // what follows the last 0 byte is no complete message
    return list;
}

void LoopbackServer::send(int connection, const QString &message)
{
    clients_[connection]->socket->write(message.toLatin1().append('\0'));
}

void LoopbackServer::close(int connection)
{
    clients_[connection]->socket->disconnectFromHost();
}

frmMain *startMainWindow()
{
    Globals::reset();
    return Window<frmMain>::load();
}

void discardClientWindows()
{
    discardWindows<frmabout, frmAddress, frmMain>();
}

void connectThroughDialog(frmMain *main, const QStringList &userPasswordHostPort)
{
    frmAddress *dialog = Window<frmAddress>::load();
    dialog->Text1->setText(userPasswordHostPort.value(0));
    dialog->Text2->setText(userPasswordHostPort.value(1));
    dialog->ComboAddress->setEditText(userPasswordHostPort.value(2));
    dialog->ComboPort->setEditText(userPasswordHostPort.value(3));
    // Pressed once the dialog runs modally inside Connect.
    QMetaObject::invokeMethod(dialog->cmdOK, &QPushButton::click, Qt::QueuedConnection);
    main->mnuFileConnect->trigger();
    if (main->isVisible())
        main->activateWindow(); // the dialog had the focus
}

void connectAsAnn(frmMain *main, quint16 port)
{
    connectThroughDialog(main, {"ann", "pw", "127.0.0.1", QString::number(port)});
}

QStringList shownLines(const QPlainTextEdit *edit)
{
    QStringList lines = edit->toPlainText().split(u'\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QList<Run> runsOfLine(const QPlainTextEdit *edit, int line)
{
    QList<Run> runs;
    const QTextBlock block = edit->document()->findBlockByNumber(line);
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextCharFormat f = it.fragment().charFormat();
        runs.append({it.fragment().text(), f.foreground().color(), f.fontWeight() >= QFont::Bold,
                     f.fontItalic()});
    }
    return runs;
}

} // namespace quillet::test
