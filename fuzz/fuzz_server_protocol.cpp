// Fuzz target: classification and field cutting of server messages.
//
// The input is split at its 0 bytes, as the server connection splits what it receives. The first
// piece is one server message; for it:
//   - every field that is cut is really in the message, in its layout: the tags with the fields
//     between them; a tag-bound field holds no copy of its own tag;
//   - a message is cut exactly when its tags occur in order (checked by a forward scan, while the
//     cutting itself anchors at the end);
//   - the request validation agrees with inet_pton() and with plain decimal reading.
// The next pieces are fields: a room message, a request and a user list built from them (names
// and addresses without "<", list names without ",") cut back into the same fields. (The kinds and
// the order of their markers: the protocol table.)

#include "fuzzcheck.h"
#include "serverprotocol.h"

#include <arpa/inet.h>

#include <initializer_list>

namespace SP = quillet::ServerProtocol;
using quillet::fuzz::latin1Pieces;

namespace {

constexpr auto AnyCase = Qt::CaseInsensitive;

const QString MessageTag = QStringLiteral("<message>");
const QString StyleTag = QStringLiteral("<style>");
const QString UserTag = QStringLiteral("<user>");
const QString RoomEnd = QStringLiteral("</user></message>");
const QString RequestTag = QStringLiteral("<rqst>");
const QString AddrTag = QStringLiteral("<addr>");
const QString PortTag = QStringLiteral("<port>");
const QString RequestEnd = QStringLiteral("</rqst>");

// Whether `data` holds the tags and fields one right after the other (in any letter case), each
// field also exactly as it is.
bool holdsLayout(const QString &data, const QStringList &tags, const QStringList &fields)
{
    QString layout;
    for (qsizetype i = 0; i < tags.size(); ++i)
        layout += tags.at(i) + fields.value(i);
    for (const QString &field : fields)
        if (!data.contains(field))
            return false;
    return data.contains(layout, AnyCase);
}

// Whether the tags occur in this order, none overlapping the one before: a forward scan.
bool tagsInOrder(const QString &data, std::initializer_list<QString> tags)
{
    qsizetype pos = 0;
    for (const QString &tag : tags) {
        const qsizetype at = data.indexOf(tag, pos, AnyCase);
        if (at < 0)
            return false;
        pos = at + tag.size();
    }
    return true;
}

bool isAsciiDecimal(const QString &text, qsizetype maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return false;
    for (QChar c : text)
        if (c < u'0' || c > u'9')
            return false;
    return true;
}

void checkRoomCutting(const QString &data)
{
    const auto room = SP::cutRoomMessage(data);
    FUZZ_CHECK(room.has_value() == tagsInOrder(data, {MessageTag, StyleTag, UserTag, RoomEnd}));
    if (!room)
        return;
    FUZZ_CHECK(holdsLayout(data, {MessageTag, StyleTag, UserTag, RoomEnd}, {room->text, room->style, room->name}));
    FUZZ_CHECK(!room->name.contains(UserTag, AnyCase));
    FUZZ_CHECK(!room->style.contains(StyleTag, AnyCase));
    FUZZ_CHECK(room->serverNotice == room->name.contains(u"server", AnyCase));
}

void checkRequestCutting(const QString &data)
{
    const auto request = SP::cutRequest(data);
    FUZZ_CHECK(request.has_value()
               == tagsInOrder(data, {RequestTag, AddrTag, PortTag, UserTag, RequestEnd}));
    if (!request)
        return;
    FUZZ_CHECK(holdsLayout(data, {RequestTag, AddrTag, PortTag, UserTag, RequestEnd},
                           {request->message, request->address, request->port, request->user}));
    FUZZ_CHECK(!request->user.contains(UserTag, AnyCase));
    FUZZ_CHECK(!request->port.contains(PortTag, AnyCase));
    FUZZ_CHECK(!request->address.contains(AddrTag, AnyCase));

    // The validation against independent readers: the C library's strict dotted-quad parser
    // (four parts, no leading zeros) and plain decimal digits.
    in_addr parsed{};
    const QByteArray address = request->address.toLatin1();
    const bool cLibrary = inet_pton(AF_INET, address.constData(), &parsed) == 1;
    FUZZ_CHECK(SP::isDottedIPv4(request->address) == cLibrary);
    const auto port = SP::requestPort(request->port);
    const bool decimal = isAsciiDecimal(request->port, 5);
    const int value = decimal ? request->port.toInt() : -1;
    FUZZ_CHECK(port.has_value() == (value >= SP::RequestPortMin && value <= SP::RequestPortMax));
    if (port)
        FUZZ_CHECK(int(*port) == value);
    FUZZ_CHECK(SP::isAcceptableRequest(*request) == (cLibrary && port.has_value()));
}

void checkBuiltCutBack(const QList<QString> &fields)
{
    const QString text = fields.value(1), name = QString(fields.value(2)).remove(u'<');
    const auto room = SP::cutRoomMessage(SP::roomMessage(text, QStringLiteral("BI"), name));
    FUZZ_CHECK(room && room->text == text && room->style == u"BI" && room->name == name);
    const QString address = QString(fields.value(3)).remove(u'<');
    const auto request = SP::cutRequest(SP::requestMessage(text, address, QStringLiteral("5999"), name));
    FUZZ_CHECK(request && request->message == text && request->address == address && request->user == name);
    QStringList names;
    for (const QString &field : fields.mid(2))
        if (QString n = QString(field).remove(u'<').remove(u','); !n.isEmpty())
            names << n;
    if (!names.isEmpty())
        FUZZ_CHECK(SP::cutUserList(QStringLiteral("<add usr>") + names.join(u',') + QStringLiteral(",</add usr>")) == names);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QString> pieces = latin1Pieces(data, size);
    const QString &message = pieces.first();
    checkRoomCutting(message);
    checkRequestCutting(message);
    checkBuiltCutBack(pieces);
    return 0;
}
