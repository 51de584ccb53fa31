#include "chatprotocol.h"

#include "wire.h"

namespace quillet::server {

namespace {

const QString kMessageOpen = wire::MessageTag;
const QString kStyleTag = wire::StyleTag;
const QString kUserTag = wire::UserTag;
const QString kMessageClose = wire::RoomEnd;
const QString kRequestOpen = wire::RequestTag;
const QString kAddrTag = wire::AddrTag;
const QString kPortTag = wire::PortTag;
const QString kRequestClose = wire::RequestEnd;

bool isControl(QChar c)
{
    const char16_t u = c.unicode();
    return u < 0x20 || (u >= 0x7f && u <= 0x9f);
}

// Start of the last tag that ends at or before `end` (exact letters), or -1.
qsizetype lastTagBefore(const QString &message, const QString &tag, qsizetype end)
{
    if (end < tag.size())
        return -1;
    return QStringView(message).first(end).lastIndexOf(tag);
}

} // namespace

QString canonicalAddress(const QString &text)
{
    const QStringList parts = text.split(u'.');
    if (parts.size() != 4)
        return QString();
    QStringList numbers;
    for (const QString &part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return QString();
        for (QChar c : part)
            if (c < u'0' || c > u'9')
                return QString();
        const int value = part.toInt();
        if (value > 255)
            return QString();
        numbers << QString::number(value);
    }
    return numbers.join(u'.');
}

QString loginAccepted() { return QStringLiteral("login successful"); }
QString loginRefused() { return QStringLiteral("login fail"); }

bool holdsClientMarker(const QString &text)
{
    return wire::holdsClientMarker(text);
}

std::optional<Login> parseLogin(const QString &message)
{
    const qsizetype split = message.indexOf(QLatin1String("///"));
    if (split < 0)
        return std::nullopt;
    return Login{message.left(split), message.mid(split + 3)};
}

QString nameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("empty name");
    for (QChar c : name) {
        if (c == u',' || c == u'<' || c == u'>')
            return QStringLiteral("name holds \"%1\"").arg(c);
        if (isControl(c))
            return QStringLiteral("name holds a control character");
    }
    if (name.contains(QLatin1String("server"), Qt::CaseInsensitive))
        return QStringLiteral("name contains \"server\"");
    return QString();
}

std::optional<RoomLine> parseRoomMessage(const QString &message)
{
    if (!message.startsWith(kMessageOpen) || !message.endsWith(kMessageClose))
        return std::nullopt;
    const qsizetype user = lastTagBefore(message, kUserTag, message.size() - kMessageClose.size());
    const qsizetype style = lastTagBefore(message, kStyleTag, user);
    if (user < 0 || style < kMessageOpen.size())
        return std::nullopt;

    RoomLine line;
    line.text = message.mid(kMessageOpen.size(), style - kMessageOpen.size());
    line.style = message.mid(style + kStyleTag.size(), user - style - kStyleTag.size());
    if (holdsClientMarker(line.text))
        return std::nullopt;
    if (line.style != u"BI" && line.style != u"B" && line.style != u"I" && line.style != u"N")
        return std::nullopt;
    return line;
}

QString roomMessage(const QString &text, const QString &style, const QString &user)
{
    return wire::roomMessage(text, style, user);
}

std::optional<Request> parseRequest(const QString &message)
{
    if (!message.startsWith(kRequestOpen) || !message.endsWith(kRequestClose))
        return std::nullopt;
    const qsizetype end = message.size() - kRequestClose.size();
    const qsizetype user = lastTagBefore(message, kUserTag, end);
    const qsizetype port = lastTagBefore(message, kPortTag, user);
    const qsizetype addr = lastTagBefore(message, kAddrTag, port);
    if (user < 0 || port < 0 || addr < kRequestOpen.size())
        return std::nullopt;

    Request request;
    request.message = message.mid(kRequestOpen.size(), addr - kRequestOpen.size());
    request.address = message.mid(addr + kAddrTag.size(), port - addr - kAddrTag.size());
    request.port = message.mid(port + kPortTag.size(), user - port - kPortTag.size());
    request.target = message.mid(user + kUserTag.size(), end - user - kUserTag.size());
    // Only what every client would act on: a client drops any other address or port.
    if (holdsClientMarker(request.message) || !wire::isDottedIPv4(request.address)
        || !wire::requestPort(request.port) || !nameProblem(request.target).isEmpty())
        return std::nullopt;
    return request;
}

bool looksLikeRequest(const QString &message)
{
    return message.startsWith(kRequestOpen);
}

QString forwardedRequest(const Request &request, const QString &requester)
{
    return wire::requestMessage(request.message, request.address, request.port, requester);
}

bool isBusyNotice(const QString &message) { return message == wire::BusyNotice; }
bool isFreeNotice(const QString &message) { return message == wire::FreeNotice; }

QString userBusy(const QString &name)
{
    return wire::userBusy(name);
}

QString userFree(const QString &name)
{
    return wire::userFree(name);
}

QStringList userAdditions(const QStringList &names)
{
    QStringList messages;
    for (qsizetype first = 0; first < names.size(); first += NamesPerAddition) {
        QString message = QStringLiteral("<add usr>");
        for (const QString &name : names.mid(first, NamesPerAddition))
            message += name + u',';
        messages << message + QStringLiteral("</add usr>");
    }
    return messages;
}

QString userRemoval(const QString &name)
{
    return QStringLiteral("<rem usr>") + name + QStringLiteral(",</rem usr>");
}

QString printable(const QString &text, qsizetype maxLength)
{
    QString out;
    for (QChar c : text.left(maxLength)) {
        if (isControl(c) || c == u'\\')
            out += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            out += c;
    }
    if (text.size() > maxLength)
        out += QStringLiteral("...");
    return out;
}

} // namespace quillet::server
