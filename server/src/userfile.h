// The --users file: one "name:password" per line.
#pragma once

#include <QHash>
#include <QString>
#include <optional>

namespace quillet::server {

struct UserTable {
    QHash<QString, QString> passwords; // name -> password
    QString error;                     // set when the text could not be read; passwords is empty then
};

// Parses the text of a users file. Each line is "name:password", split at the first ":" (so a
// password may hold ":" but a name may not). Blank lines and lines starting with "#" are skipped;
// a trailing carriage return is ignored. A line without ":", a name that could never log in, a
// name given twice, or a character that does not fit in one byte on the wire is an error naming
// its line.
UserTable parseUsers(const QString &text);

// Reads and parses a users file (UTF-8).
UserTable loadUsers(const QString &path);

} // namespace quillet::server
