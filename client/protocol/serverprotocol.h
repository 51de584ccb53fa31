// The chat server protocol: building what the client sends, classifying and cutting what it gets.
// Pure functions over strings: no socket, no widget. The grammar is written out in serverprotocol.cpp.
#pragma once

#include "wire.h"

#include <QString>
#include <QStringList>
#include <optional>

namespace quillet::ServerProtocol {

// --- Messages the client sends (each goes out as one Send, which appends the 0 byte) ---
// Nothing is escaped: the values are put between the tags as they are.
QString loginMessage(const QString &user, const QString &password);
QString roomMessage(const QString &text, const QString &style, const QString &user);
QString requestMessage(const QString &message, const QString &address, const QString &port,
                       const QString &target);
QString busyNotice();
QString freeNotice();
// "BI", "B", "I" or "N" from the two style toggles.
QString styleCode(bool bold, bool italic);

// --- Messages the client receives ---
enum class Kind {
    LoginAccepted, // the whole text is "login successful"
    LoginRefused,  // the whole text is "login fail"
    UserAdded,     // contains "<add usr" (exact letters)
    UserRemoved,   // contains "<rem usr" (any case)
    UserBusy,      // contains "<bsy usr>" (any case)
    UserFree,      // contains "<fre usr>" (any case)
    Request,       // contains "<rqst>" (any case)
    Room,          // anything else
};
Kind classify(const QString &data);

enum class Style { Plain, Bold, Italic, BoldItalic };
// "B", "I" and "BI" compared exactly; every other text is plain.
Style styleFromCode(const QString &code);

struct RoomMessage {
    QString text;
    QString style;
    QString name;
    bool serverNotice = false; // the NAME contains "server" in any letter case
};
// Cuts TEXT, STYLE and NAME; nullopt when the tags are missing or out of order.
// The end is anchored: NAME follows the last "<user>" before the last "</user></message>", STYLE the
// last "<style>" before that, and TEXT runs from the first "<message>" to that "<style>", so TEXT
// may hold anything ("<", "r>", "<style>", ...). Tags match in any letter case; text after the
// closing tags is ignored.
std::optional<RoomMessage> cutRoomMessage(const QString &data);

// Every name of a user-list message's LIST that is followed by ",", in order (there is no limit on
// their number); a text after the last comma is not a name, and empty names are skipped. LIST runs
// from the ">" closing the first "<add usr" (exact) or "<rem usr" (any case) tag to the next "<".
// nullopt when the message has no such tag, no "<" after the LIST, or no name ends with a comma.
// A removal uses only the first name.
std::optional<QStringList> cutUserList(const QString &data);

struct Request {
    QString message;
    QString address;
    QString port;
    QString user;
};
// Cuts MESSAGE, ADDRESS, PORT and USER; nullopt when a tag is missing or out of order.
// The end is anchored: USER follows the last "<user>" before the last "</rqst>", PORT the last
// "<port>" before that, ADDRESS the last "<addr>" before that, and MESSAGE runs from the first
// "<rqst>" to that "<addr>", so MESSAGE may have any length and hold tag-like text. Tags match in
// any letter case; text after "</rqst>" is ignored.
std::optional<Request> cutRequest(const QString &data);
// A request the client may act on: ADDRESS a dotted IPv4 address, PORT a whole number 5000..6000.
bool isAcceptableRequest(const Request &request);

// The request range and the checks of a request's address and port are the wire format's.
using wire::RequestPortMin;
using wire::RequestPortMax;
using wire::isDottedIPv4;
using wire::requestPort;

} // namespace quillet::ServerProtocol
