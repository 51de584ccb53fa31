// The chat wire format, shared by the client and quillet-server.
//
// Every message, to or from the server and between two clients, is a text of 8-bit Latin-1
// characters followed by one 0 byte. Messages are told apart by tags in the text itself; nothing is
// escaped. Who reads how much of a message is the business of the layers above: the server cuts
// strictly and refuses what it cannot relay as clients read it, the client cuts tolerantly.
#pragma once

#include "framer.h"

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>

#include <optional>

namespace quillet::wire {

// --- Tags ---
inline constexpr QLatin1StringView MessageTag("<message>");
inline constexpr QLatin1StringView StyleTag("<style>");
inline constexpr QLatin1StringView UserTag("<user>");
inline constexpr QLatin1StringView RoomEnd("</user></message>");
inline constexpr QLatin1StringView RequestTag("<rqst>");
inline constexpr QLatin1StringView AddrTag("<addr>");
inline constexpr QLatin1StringView PortTag("<port>");
inline constexpr QLatin1StringView RequestEnd("</rqst>");
inline constexpr QLatin1StringView AddUserMarker("<add usr");  // exact letters
inline constexpr QLatin1StringView RemoveUserMarker("<rem usr"); // any case, as the rest
inline constexpr QLatin1StringView BusyUserMarker("<bsy usr>");
inline constexpr QLatin1StringView FreeUserMarker("<fre usr>");
inline constexpr QLatin1StringView BusyNotice("<busy>");
inline constexpr QLatin1StringView FreeNotice("<free>");

// --- Builders (the values go between the tags as they are) ---
QString roomMessage(const QString &text, const QString &style, const QString &user);
QString requestMessage(const QString &message, const QString &address, const QString &port,
                       const QString &user);
QString userBusy(const QString &name); // "<bsy usr>" NAME "</bsy usr>"
QString userFree(const QString &name); // "<fre usr>" NAME "</fre usr>"

// True when text holds one of the markers by which clients tell user-list changes and private
// chat requests from room lines ("<add usr", "<rem usr", "<bsy usr>", "<fre usr>", "<rqst>", in any
// letter case).
bool holdsClientMarker(QStringView text);

// --- Framing and text ---
// Splits a received byte stream at its 0 bytes (see framer.h for the bound on a message).
using Framer = varrow::detail::Framer;
// One byte per character; a character above 255 (a surrogate pair counts as one) becomes "?".
QByteArray toLatin1(const QString &text);
QString fromLatin1(QByteArrayView bytes);
// Start of the first occurrence of `tag`, which begins with "<", in any letter case, or -1. As a
// case-blind indexOf, but letters are folded only where a "<" stands (no character folds to "<"),
// which in a long text without tags costs one scan for "<".
qsizetype firstTag(QStringView text, QLatin1StringView tag);

// --- A private chat request's address and port ---
// The range of ports on which a requester listens for the peer connection.
inline constexpr int RequestPortMin = 5000;
inline constexpr int RequestPortMax = 6000;
// Exactly four dot-separated decimal parts 0..255 of ASCII digits, nothing else: no blanks, no
// sign, no leading zero ("010" is refused, as some resolvers read it as octal).
bool isDottedIPv4(QStringView address);
// The port as a number: 1 to 5 ASCII digits (a leading zero is allowed) with a value from
// RequestPortMin to RequestPortMax; nullopt otherwise.
std::optional<quint16> requestPort(QStringView port);

} // namespace quillet::wire
