// Uses varrow::Socket through the installed headers and library: one socket listens on loopback,
// another connects to it and sends a text, which arrives through the DataArrival signal.
#include <varrow/Socket.h>

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    varrow::Socket listener, client;
    QString received;

    QObject::connect(&listener, &varrow::Socket::ConnectionRequest, &app, [&](qint32 &handle) {
        auto *accepted = new varrow::Socket(&app);
        accepted->setAsynchronous(true);
        QObject::connect(accepted, &varrow::Socket::DataArrival, &app, [&](const QString &data) {
            received = data;
            app.quit();
        });
        accepted->Accept(handle);
    });
    listener.setAsynchronous(true);
    if (!listener.Listen(0, QStringLiteral("127.0.0.1")) || listener.LocalPort() == 0) {
        std::fprintf(stderr, "Listen failed\n");
        return 1;
    }
    if (!client.Connect(QStringLiteral("127.0.0.1"), QString(), listener.LocalPort())
        || !client.Send(QStringLiteral("hello through Varrow"))) {
        std::fprintf(stderr, "Connect or Send failed\n");
        return 1;
    }
    QTimer::singleShot(10000, &app, [&] { app.exit(2); });
    if (app.exec() != 0 || received != QStringLiteral("hello through Varrow")) {
        std::fprintf(stderr, "received '%s'\n", qPrintable(received));
        return 1;
    }
    std::printf("%s: %s\n", listener.metaObject()->className(), qPrintable(received));
    return 0;
}
