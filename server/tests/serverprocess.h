// Runs the quillet-server program for a test and finds the port it listens on.
#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>

class ServerProcess
{
public:
    ~ServerProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }

    // Starts the server on 127.0.0.1, a port of its own choosing, and waits for its
    // "listening on" line. False if it ended or never said where it listens.
    bool start(const QStringList &extra = {})
    {
        process.start(QStringLiteral(QUILLET_SERVER_PATH),
                      QStringList{u"--listen"_qs, u"127.0.0.1"_qs, u"--port"_qs, u"0"_qs} + extra);
        static const QRegularExpression listening(u"listening on 127\\.0\\.0\\.1:(\\d+)\\n"_qs);
        return QTest::qWaitFor(
            [&] {
                stderrText += QString::fromLocal8Bit(process.readAllStandardError());
                const auto match = listening.match(stderrText);
                if (match.hasMatch())
                    port = quint16(match.captured(1).toUInt());
                return port != 0 || process.state() == QProcess::NotRunning;
            },
            10000)
            && port != 0;
    }

    // Everything the server wrote to stderr so far.
    QString log()
    {
        stderrText += QString::fromLocal8Bit(process.readAllStandardError());
        return stderrText;
    }

    bool terminate(int signal = SIGTERM)
    {
        ::kill(pid_t(process.processId()), signal);
        return process.waitForFinished(10000);
    }

    QProcess process;
    quint16 port = 0;
    QString stderrText;
};
