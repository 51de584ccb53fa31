// quillet-server: a chat server for Quillet clients on a LAN.
#include "chatprotocol.h"
#include "chatserver.h"
#include "userfile.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using quillet::server::ChatServer;

namespace {

constexpr int ExitUsage = 2;
constexpr int ExitFailure = 1;

int signalPipe[2] = {-1, -1};

void onSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    [[maybe_unused]] const auto written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

// Every log line on stderr, with a timestamp.
void logLine(QtMsgType, const QMessageLogContext &, const QString &message)
{
    const QByteArray line = QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toLocal8Bit()
                          + ' ' + message.toLocal8Bit() + '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
    std::fflush(stderr);
}

[[noreturn]] void usageError(const QString &text)
{
    std::fprintf(stderr, "quillet-server: %s\nTry 'quillet-server --help'.\n", qPrintable(text));
    std::exit(ExitUsage);
}

// A server holds one descriptor per client: allow as many as the hard limit does. Returns the
// limit now in force (0 when unknown).
quint64 raiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t before = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
            limit.rlim_cur = before;
    }
    return limit.rlim_cur == RLIM_INFINITY ? 0 : quint64(limit.rlim_cur);
}

// The value of a numeric option from 0 to max, or a usage error naming the option.
uint countOption(const QCommandLineParser &parser, const QCommandLineOption &option, uint max)
{
    bool ok = false;
    const uint value = parser.value(option).toUInt(&ok);
    if (!ok || value > max)
        usageError(QStringLiteral("--%1 needs a number from 0 to %2, not '%3'")
                       .arg(option.names().constFirst())
                       .arg(max)
                       .arg(parser.value(option)));
    return value;
}

bool installSignalHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    // A client that vanishes while the server writes to it must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quillet-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUILLET_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Chat server for Quillet clients. Logs one line per login, logout, refused login and\n"
        "dropped client to stderr (past a few lines a minute, what the connections of one address\n"
        "that never log in cause is counted instead); ends on SIGINT or SIGTERM."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("IPv4 address to listen on; 0.0.0.0 for every address (default 127.0.0.1)."),
        QStringLiteral("ADDR"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("TCP port to listen on; 0 picks a free one (default 2727)."),
        QStringLiteral("N"), QStringLiteral("2727"));
    const QCommandLineOption usersOption(
        QStringLiteral("users"),
        QStringLiteral("File of name:password lines; only those users may log in. Without it "
                       "any name is accepted with any password."),
        QStringLiteral("FILE"));
    const QCommandLineOption perAddressOption(
        QStringLiteral("max-per-address"),
        QStringLiteral("Connections one remote address may hold, logged in or not; 0 for no limit "
                       "(default 16)."),
        QStringLiteral("N"), QStringLiteral("16"));
    const QCommandLineOption loginTimeoutOption(
        QStringLiteral("login-timeout"),
        QStringLiteral("Seconds a new connection has to log in before it is closed; 0 for no limit "
                       "(default 10)."),
        QStringLiteral("S"), QStringLiteral("10"));
    parser.addOptions({listenOption, portOption, usersOption, perAddressOption, loginTimeoutOption});

    if (!parser.parse(app.arguments()))
        usageError(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();
    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    const QString address = quillet::server::canonicalAddress(parser.value(listenOption));
    if (address.isEmpty())
        usageError(QStringLiteral("--listen needs an IPv4 address such as 127.0.0.1 or 0.0.0.0, not '%1'")
                       .arg(parser.value(listenOption)));
    const uint port = countOption(parser, portOption, 65535);
    const uint perAddress = countOption(parser, perAddressOption, 1'000'000);
    const uint loginTimeout = countOption(parser, loginTimeoutOption, 86'400);

    qInstallMessageHandler(logLine);

    ChatServer server;
    server.setMaxPerAddress(int(perAddress));
    server.setLoginTimeout(int(loginTimeout) * 1000);
    if (parser.isSet(usersOption)) {
        const QString path = parser.value(usersOption);
        const auto users = quillet::server::loadUsers(path);
        if (!users.error.isEmpty()) {
            qCritical().noquote() << QStringLiteral("cannot use the users file %1: %2").arg(path, users.error);
            return ExitFailure;
        }
        server.setUsers(users.passwords);
    }

    if (!installSignalHandlers()) {
        qCritical("cannot set up signal handling");
        return ExitFailure;
    }
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char number = 0;
        if (::read(signalPipe[0], &number, 1) != 1)
            return;
        signalNotifier.setEnabled(false);
        const auto stats = server.statistics();
        qInfo().noquote() << QStringLiteral("stopping on %1: %2 online, %3 logins, %4 room messages "
                                            "relayed, at most %5 online at once")
                                 .arg(QString::fromLatin1(number == SIGINT ? "SIGINT" : "SIGTERM"))
                                 .arg(server.onlineUsers().size())
                                 .arg(stats.logins)
                                 .arg(stats.roomMessages)
                                 .arg(stats.peakOnline);
        server.close();
        app.quit();
    });

    const quint64 descriptors = raiseDescriptorLimit();
    if (!server.listen(address, quint16(port))) {
        qCritical().noquote() << QStringLiteral("cannot listen on %1:%2: %3")
                                     .arg(address)
                                     .arg(port)
                                     .arg(server.errorString());
        return ExitFailure;
    }
    qInfo().noquote() << QStringLiteral("listening on %1:%2").arg(address).arg(server.port());
    if (parser.isSet(usersOption))
        qInfo().noquote() << "users from" << parser.value(usersOption);
    else
        qInfo("no users file: any name may log in with any password");
    qInfo().noquote() << QStringLiteral("at most %1, %2, %3")
                             .arg(perAddress ? QStringLiteral("%1 connections per address").arg(perAddress)
                                             : QStringLiteral("any number of connections per address"),
                                  loginTimeout ? QStringLiteral("%1 s to log in").arg(loginTimeout)
                                               : QStringLiteral("no time limit to log in"),
                                  descriptors ? QStringLiteral("%1 open descriptors").arg(descriptors)
                                              : QStringLiteral("no descriptor limit"));

    return app.exec();
}
