#include "userfile.h"

#include "chatprotocol.h"

#include <QFile>

namespace quillet::server {

namespace {

bool fitsOneByte(const QString &text)
{
    for (QChar c : text)
        if (c.unicode() > 0xff)
            return false;
    return true;
}

UserTable failure(const QString &error)
{
    UserTable table;
    table.error = error;
    return table;
}

} // namespace

UserTable parseUsers(const QString &text)
{
    UserTable table;
    const QStringList lines = text.split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines.at(i);
        if (line.endsWith(u'\r'))
            line.chop(1);
        if (line.trimmed().isEmpty() || line.startsWith(u'#'))
            continue;
        const int number = int(i + 1);
        const qsizetype colon = line.indexOf(u':');
        if (colon < 0)
            return failure(QStringLiteral("line %1: expected name:password").arg(number));
        const QString name = line.left(colon);
        const QString password = line.mid(colon + 1);
        const QString problem = nameProblem(name);
        if (!problem.isEmpty())
            return failure(QStringLiteral("line %1: %2").arg(number).arg(problem));
        if (!fitsOneByte(name) || !fitsOneByte(password))
            return failure(QStringLiteral("line %1: a character that clients cannot send")
                               .arg(number));
        if (table.passwords.contains(name))
            return failure(QStringLiteral("line %1: \"%2\" is listed twice").arg(number).arg(name));
        table.passwords.insert(name, password);
    }
    if (table.passwords.isEmpty())
        return failure(QStringLiteral("no users listed"));
    return table;
}

UserTable loadUsers(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failure(file.errorString());
    return parseUsers(QString::fromUtf8(file.readAll()));
}

} // namespace quillet::server
