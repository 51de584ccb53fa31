// What quillet-server reads from and writes to its clients.
//
// Every message is one 0-terminated text on the wire; these functions see it without the 0 byte.
// Parsing here is strict on purpose: the server relays only texts that every client cuts into the
// same fields, so a relayed line always shows the sender's real name.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace quillet::server {

// Largest message (in bytes, one byte per character on the wire) the server accepts.
inline constexpr qsizetype MaxMessageBytes = 64 * 1024;
// How many names one user-list addition carries: clients read at most four names per message.
inline constexpr int NamesPerAddition = 4;
// The user field of the server's own notices.
inline constexpr char16_t NoticeUser[] = u"Server";

QString loginAccepted(); // "login successful"
QString loginRefused();  // "login fail"

struct Login {
    QString name;
    QString password;
};
// NAME///PASSWORD, split at the first "///"; nullopt when there is no "///".
std::optional<Login> parseLogin(const QString &message);

// True when text holds a marker by which clients tell message kinds apart ("<add usr", "<rem usr",
// "<bsy usr>", "<fre usr>", "<rqst>", in any letter case). Free text relayed with one of them would
// be taken for a user-list change or a private chat request.
bool holdsClientMarker(const QString &text);

// Why a name can never be logged in, or an empty string when it is acceptable. Refused: empty
// names, names holding ",", "<", ">" or a control character, and names containing "server" in
// any letter case (only the server speaks as "Server").
QString nameProblem(const QString &name);

// The dotted IPv4 address in its usual form ("127.000.0.01" gives "127.0.0.1"), or an empty
// string when text is not four dot-separated decimal numbers 0..255 of one to three digits.
QString canonicalAddress(const QString &text);

struct RoomLine {
    QString text;
    QString style;
};
// "<message>" TEXT "<style>" STYLE "<user>" ANYTHING "</user></message>", cut the way clients cut it
// (the closing tag is the message's end, "<user>" the last one before it, "<style>" the last one
// before that), with STYLE one of "BI", "B", "I", "N" and TEXT free of client markers (see
// holdsClientMarker). What the sender wrote as its name is not returned: the server fills it in.
std::optional<RoomLine> parseRoomMessage(const QString &message);
QString roomMessage(const QString &text, const QString &style, const QString &user);

struct Request {
    QString message;
    QString address;
    QString port;
    QString target;
};
// "<rqst>" MESSAGE "<addr>" ADDRESS "<port>" PORT "<user>" TARGET "</rqst>", cut from the end like a
// room message, with MESSAGE free of client markers, ADDRESS a dotted IPv4 address without leading
// zeros, PORT 5000..6000 (what a client acts on; see wire.h) and TARGET an acceptable name.
std::optional<Request> parseRequest(const QString &message);
// True when the message is marked as a request ("<rqst>" at its start) whether or not it parses.
bool looksLikeRequest(const QString &message);
// The request as its target receives it: the same fields, with the requester in the user field.
QString forwardedRequest(const Request &request, const QString &requester);

bool isBusyNotice(const QString &message); // exactly "<busy>"
bool isFreeNotice(const QString &message); // exactly "<free>"
QString userBusy(const QString &name);     // "<bsy usr>" NAME "</bsy usr>"
QString userFree(const QString &name);     // "<fre usr>" NAME "</fre usr>"

// "<add usr>" + names each followed by "," + "</add usr>", at most NamesPerAddition names each.
QStringList userAdditions(const QStringList &names);
QString userRemoval(const QString &name); // "<rem usr>" NAME "," "</rem usr>"

// A text from the network made safe for a log line: control characters shown as \xNN, cut short.
QString printable(const QString &text, qsizetype maxLength = 64);

} // namespace quillet::server
