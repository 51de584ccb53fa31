// Fuzz target: classification and field cutting of server messages.
//
// The input is split at its 0 bytes, as the server connection splits what it receives. The first
// piece is one server message; for it:
//   - every field that is cut is really in the message, in its layout: the tags with the fields
//     between them; a tag-bound field holds no copy of its own tag;
//   - a message is cut exactly when its tags occur in order (checked by a forward scan, while the
//     cutting itself anchors at the end);
//   - the request validation agrees with inet_pton() and with plain decimal reading.
// (The kinds and the order of their markers: the protocol table; messages built and cut back: the
// server suite, whose clients cut what the server builds.)

#include "fuzzcheck.h"
#include "serverprotocol.h"

#include <arpa/inet.h>

#include <QRegularExpression>

namespace SP = quillet::ServerProtocol;
using quillet::fuzz::latin1Pieces;

namespace {

constexpr auto AnyCase = Qt::CaseInsensitive;

const QStringList RoomTags{"<message>", "<style>", "<user>", "</user></message>"};
const QStringList RequestTags{"<rqst>", "<addr>", "<port>", "<user>", "</rqst>"};

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
bool tagsInOrder(const QString &data, const QStringList &tags)
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

void checkRoomCutting(const QString &data)
{
    const auto room = SP::cutRoomMessage(data);
    FUZZ_CHECK(room.has_value() == tagsInOrder(data, RoomTags));
    if (!room)
        return;
    FUZZ_CHECK(holdsLayout(data, RoomTags, {room->text, room->style, room->name}));
    FUZZ_CHECK(!room->name.contains(RoomTags[2], AnyCase));
    FUZZ_CHECK(!room->style.contains(RoomTags[1], AnyCase));
    FUZZ_CHECK(room->serverNotice == room->name.contains(u"server", AnyCase));
}

void checkRequestCutting(const QString &data)
{
    const auto request = SP::cutRequest(data);
    FUZZ_CHECK(request.has_value() == tagsInOrder(data, RequestTags));
    if (!request)
        return;
    FUZZ_CHECK(holdsLayout(data, RequestTags, {request->message, request->address, request->port, request->user}));
    FUZZ_CHECK(!request->user.contains(RequestTags[3], AnyCase));
    FUZZ_CHECK(!request->port.contains(RequestTags[2], AnyCase));
    FUZZ_CHECK(!request->address.contains(RequestTags[1], AnyCase));

    // The validation against independent readers: the C library's strict dotted-quad parser
    // (four parts, no leading zeros) and plain decimal digits.
    in_addr parsed{};
    const QByteArray address = request->address.toLatin1();
    const bool cLibrary = inet_pton(AF_INET, address.constData(), &parsed) == 1;
    FUZZ_CHECK(SP::isDottedIPv4(request->address) == cLibrary);
    const auto port = SP::requestPort(request->port);
    static const QRegularExpression decimal(QStringLiteral("^[0-9]{1,5}$"));
    const int value = decimal.match(request->port).hasMatch() ? request->port.toInt() : -1;
    FUZZ_CHECK(port.has_value() == (value >= SP::RequestPortMin && value <= SP::RequestPortMax));
    if (port)
        FUZZ_CHECK(int(*port) == value);
    FUZZ_CHECK(SP::isAcceptableRequest(*request) == (cLibrary && port.has_value()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString message = latin1Pieces(data, size).first();
    checkRoomCutting(message);
    checkRequestCutting(message);
    return 0;
}
