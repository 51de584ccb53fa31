// The chat server protocol.
//
// Wire grammar
// ------------
// Framing, both directions: every message is a text of 8-bit characters (one byte per character)
// followed by one 0 byte. There is no length, no line end and no escaping; the tags are plain
// markers, never nested, without attributes.
//
//   frame        = *( %x01-FF ) %x00
//
// Client -> server (each is one Send; the socket appends the 0 byte):
//
//   login        = USER "///" PASSWORD                        ; sent right after connecting
//   room         = "<message>" TEXT "<style>" STYLE "<user>" USER "</user></message>"
//   request      = "<rqst>" MESSAGE "<addr>" ADDRESS "<port>" PORT "<user>" TARGET "</rqst>"
//   busy         = "<busy>"                                   ; a private chat is being set up
//   free         = "<free>"                                   ; a private chat has ended
//   STYLE        = "BI" / "B" / "I" / "N"                     ; bold+italic, bold, italic, plain
//   ADDRESS      = dotted IPv4 address of the requester, e.g. "192.168.1.20"
//   PORT         = decimal port the requester listens on, 5000..6000
//
// Server -> client, classified in this order (the first rule that matches decides):
//
//   login-ok     = "login successful"                         ; whole text, exact letters
//   login-fail   = "login fail"                               ; whole text, exact letters
//   user-add     = *CHAR "<add usr" *CHAR ">" LIST "<" *CHAR  ; "<add usr": exact letters
//   user-remove  = *CHAR "<rem usr" *CHAR ">" LIST "<" *CHAR  ; "<rem usr": any case
//   user-busy    = *CHAR "<bsy usr>" NAME "<" *CHAR           ; any case
//   user-free    = *CHAR "<fre usr>" NAME "<" *CHAR           ; any case
//   relayed-rqst = "<rqst>" MESSAGE "<addr>" ADDRESS "<port>" PORT "<user>" USER "</rqst>"
//                                                             ; recognised by "<rqst>", any case;
//                                                             ; USER is the requester
//   room-in      = "<message>" TEXT "<style>" STYLE "<user>" NAME "</user></message>"
//                                                             ; everything else; a server notice
//                                                             ; when NAME contains "server"
//   LIST         = *( NAME "," ) [ TAIL ]                     ; TAIL (no comma) is not a name
//
// Cutting fields
// --------------
// Each field is cut between its own tags; tags are matched in any letter case. The tag that ends
// a message is looked up from the END, so that a free-text field (TEXT, MESSAGE) may hold any
// character, tag-like text included:
//
//   room-in      E = last "</user></message>"; NAME between the last "<user>" before E and E;
//                STYLE between the last "<style>" before that "<user>" and the "<user>";
//                TEXT between the first "<message>" and that "<style>".
//   relayed-rqst E = last "</rqst>"; USER between the last "<user>" before E and E; PORT between
//                the last "<port>" before that "<user>" and the "<user>"; ADDRESS between the last
//                "<addr>" before that "<port>" and the "<port>"; MESSAGE between the first "<rqst>"
//                and that "<addr>".
//   user lists   LIST runs from the ">" that closes the first "<add usr"/"<rem usr" tag to the
//                next "<"; every non-empty piece that a "," ends is a name, in order.
//   busy, free   NAME runs from the end of the first marker to the next "<" (the server closes it
//                with "</bsy usr>" or "</fre usr>"); an empty NAME is none.
//
// Consequences: NAME cannot hold "<user>", STYLE cannot hold "<style>", USER cannot hold "<user>",
// PORT cannot hold "<port>", ADDRESS cannot hold "<addr>" (none of them is a valid value anyway);
// text after the closing tag is ignored. A message that lacks one of its tags, or has them in
// another order, cannot be cut and gives nullopt.

#include "serverprotocol.h"

#include <iterator>

namespace quillet::ServerProtocol {

namespace {

constexpr auto AnyCase = Qt::CaseInsensitive;

using namespace wire;

// Every tag starts with "<", which no other character matches in any case: a tag is looked for
// only where a "<" stands (a case-blind search of the whole text compares at every position).

// Start of the last occurrence of `tag` (any case) that ends at or before `end`, or -1.
qsizetype lastTagBefore(QStringView data, QLatin1StringView tag, qsizetype end)
{
    if (end < tag.size() || end > data.size())
        return -1;
    for (qsizetype at = end - tag.size(); at >= 0; --at) {
        at = data.lastIndexOf(u'<', at);
        if (at < 0)
            break;
        if (data.sliced(at, tag.size()).compare(tag, AnyCase) == 0)
            return at;
    }
    return -1;
}

QString slice(QStringView data, qsizetype from, qsizetype to)
{
    return data.sliced(from, to - from).toString();
}

} // namespace

// --- Building ---

QString loginMessage(const QString &user, const QString &password)
{
    return user + QLatin1StringView("///") + password;
}

QString roomMessage(const QString &text, const QString &style, const QString &user)
{
    return wire::roomMessage(text, style, user);
}

QString requestMessage(const QString &message, const QString &address, const QString &port,
                       const QString &target)
{
    return wire::requestMessage(message, address, port, target);
}

QString busyNotice()
{
    return BusyNotice;
}

QString freeNotice()
{
    return FreeNotice;
}

QString styleCode(bool bold, bool italic)
{
    if (bold && italic)
        return QStringLiteral("BI");
    if (bold)
        return QStringLiteral("B");
    if (italic)
        return QStringLiteral("I");
    return QStringLiteral("N");
}

// --- Classifying ---

Kind classify(const QString &data)
{
    if (data == QLatin1StringView("login successful"))
        return Kind::LoginAccepted;
    if (data == QLatin1StringView("login fail"))
        return Kind::LoginRefused;
    // Every marker starts with "<": one pass over the "<"s notes which markers occur anywhere (a
    // search per marker, five times over a room line, was most of the dispatcher's own time);
    // the first kind in the order above wins.
    struct Marker
    {
        QLatin1StringView text;
        Qt::CaseSensitivity cs;
        Kind kind;
    };
    static constexpr Marker markers[] = {{AddUserMarker, Qt::CaseSensitive, Kind::UserAdded},
                                         {RemoveUserMarker, AnyCase, Kind::UserRemoved},
                                         {BusyUserMarker, AnyCase, Kind::UserBusy},
                                         {FreeUserMarker, AnyCase, Kind::UserFree},
                                         {RequestTag, AnyCase, Kind::Request}};
    const QStringView d(data);
    size_t first = std::size(markers); // the earliest in the order found so far
    for (qsizetype at = d.indexOf(u'<'); at >= 0 && first > 0; at = d.indexOf(u'<', at + 1)) {
        const QStringView rest = d.sliced(at);
        for (size_t m = 0; m < first; ++m)
            if (rest.startsWith(markers[m].text, markers[m].cs))
                first = m;
    }
    return first < std::size(markers) ? markers[first].kind : Kind::Room;
}

Style styleFromCode(const QString &code)
{
    if (code == QLatin1StringView("BI"))
        return Style::BoldItalic;
    if (code == QLatin1StringView("B"))
        return Style::Bold;
    if (code == QLatin1StringView("I"))
        return Style::Italic;
    return Style::Plain;
}

// --- Cutting ---

std::optional<RoomMessage> cutRoomMessage(const QString &data)
{
    const QStringView d(data);
    const qsizetype end = lastTagBefore(d, RoomEnd, d.size());
    if (end < 0)
        return std::nullopt;
    const qsizetype user = lastTagBefore(d, UserTag, end);
    if (user < 0)
        return std::nullopt;
    const qsizetype style = lastTagBefore(d, StyleTag, user);
    if (style < 0)
        return std::nullopt;
    const qsizetype message = wire::firstTag(d, MessageTag);
    if (message < 0 || message + MessageTag.size() > style)
        return std::nullopt;

    RoomMessage room;
    room.text = slice(d, message + MessageTag.size(), style);
    room.style = slice(d, style + StyleTag.size(), user);
    room.name = slice(d, user + UserTag.size(), end);
    room.serverNotice = room.name.contains(QLatin1StringView("server"), AnyCase);
    return room;
}

std::optional<QStringList> cutUserList(const QString &data)
{
    const QStringView d(data);
    const qsizetype add = d.indexOf(AddUserMarker, 0, Qt::CaseSensitive);
    const qsizetype remove = d.indexOf(RemoveUserMarker, 0, AnyCase);
    qsizetype tag = add;
    if (tag < 0 || (remove >= 0 && remove < tag))
        tag = remove;
    if (tag < 0)
        return std::nullopt;
    // The marker itself holds no ">", so the first ">" after its start closes the tag.
    const qsizetype close = d.indexOf(u'>', tag + AddUserMarker.size());
    if (close < 0)
        return std::nullopt;
    const qsizetype listEnd = d.indexOf(u'<', close + 1);
    if (listEnd < 0)
        return std::nullopt;

    const QStringView list = d.sliced(close + 1, listEnd - close - 1);
    QStringList names;
    qsizetype from = 0;
    for (qsizetype comma = list.indexOf(u','); comma >= 0; comma = list.indexOf(u',', from)) {
        if (comma > from)
            names.append(list.sliced(from, comma - from).toString());
        from = comma + 1;
    }
    if (names.isEmpty())
        return std::nullopt;
    return names;
}

std::optional<QString> cutStatusUser(const QString &data)
{
    const QStringView d(data);
    // Busy wins over free, as in classify(); both markers have the same length.
    qsizetype marker = wire::firstTag(d, BusyUserMarker);
    if (marker < 0)
        marker = wire::firstTag(d, FreeUserMarker);
    if (marker < 0)
        return std::nullopt;
    const qsizetype from = marker + BusyUserMarker.size();
    const qsizetype end = d.indexOf(u'<', from);
    if (end <= from)
        return std::nullopt;
    return slice(d, from, end);
}

std::optional<Request> cutRequest(const QString &data)
{
    const QStringView d(data);
    const qsizetype end = lastTagBefore(d, RequestEnd, d.size());
    if (end < 0)
        return std::nullopt;
    const qsizetype user = lastTagBefore(d, UserTag, end);
    if (user < 0)
        return std::nullopt;
    const qsizetype port = lastTagBefore(d, PortTag, user);
    if (port < 0)
        return std::nullopt;
    const qsizetype addr = lastTagBefore(d, AddrTag, port);
    if (addr < 0)
        return std::nullopt;
    const qsizetype start = wire::firstTag(d, RequestTag);
    if (start < 0 || start + RequestTag.size() > addr)
        return std::nullopt;

    Request request;
    request.message = slice(d, start + RequestTag.size(), addr);
    request.address = slice(d, addr + AddrTag.size(), port);
    request.port = slice(d, port + PortTag.size(), user);
    request.user = slice(d, user + UserTag.size(), end);
    return request;
}

bool isAcceptableRequest(const Request &request)
{
    return isDottedIPv4(request.address) && requestPort(request.port).has_value();
}

} // namespace quillet::ServerProtocol
