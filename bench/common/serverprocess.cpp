#include "serverprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

namespace bench {

bool ServerProcess::start(const QString &program, const QStringList &arguments)
{
    process_.setStandardErrorFile(dir_.filePath(QStringLiteral("server.log")));
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.start(program, arguments);
    if (!process_.waitForStarted(10'000))
        return false;
    static const QRegularExpression listening(QStringLiteral("listening on 127\\.0\\.0\\.1:(\\d+)"));
    const QDeadlineTimer deadline(10'000);
    while (!deadline.hasExpired()) {
        const QRegularExpressionMatch match = listening.match(log());
        if (match.hasMatch()) {
            port = quint16(match.captured(1).toUInt());
            return true;
        }
        if (process_.state() != QProcess::Running)
            return false;
        QThread::msleep(5); // waiting for another process to write its first line
    }
    return false;
}

ServerProcess::~ServerProcess()
{
    if (process_.state() == QProcess::Running) {
        process_.terminate();
        if (!process_.waitForFinished(5'000))
            process_.kill();
        process_.waitForFinished(5'000);
    }
}

QString ServerProcess::log() const
{
    QFile file(dir_.filePath(QStringLiteral("server.log")));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(file.readAll());
}

} // namespace bench
