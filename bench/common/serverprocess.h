// quillet-server as a child process of a benchmark: started on 127.0.0.1 with a port it picks
// itself, its log written to a temporary file (so nobody has to read its pipes), stopped with
// SIGTERM when the object goes.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace bench {

class ServerProcess
{
public:
    // Starts `program` with `arguments` plus its stderr going to a log file, and waits up to ten
    // seconds for the line "listening on 127.0.0.1:PORT" in that log. By default the program is
    // quillet-server with "--listen 127.0.0.1 --port 0".
    bool start(const QString &program, const QStringList &arguments);
    ~ServerProcess();

    quint16 port = 0;
    qint64 pid() const { return process_.processId(); }
    QString log() const;

private:
    QTemporaryDir dir_;
    QProcess process_;
};

} // namespace bench
