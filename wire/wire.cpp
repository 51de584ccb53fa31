#include "wire.h"

#include "posix.h"

namespace quillet::wire {

namespace {

// A decimal number made of 1 to `maxDigits` ASCII digits, without a sign or blanks; -1 otherwise.
int decimal(QStringView text, qsizetype maxDigits)
{
    if (text.isEmpty() || text.size() > maxDigits)
        return -1;
    int value = 0;
    for (QChar c : text) {
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

} // namespace

QString roomMessage(const QString &text, const QString &style, const QString &user)
{
    return MessageTag + text + StyleTag + style + UserTag + user + RoomEnd;
}

QString requestMessage(const QString &message, const QString &address, const QString &port,
                       const QString &user)
{
    return RequestTag + message + AddrTag + address + PortTag + port + UserTag + user + RequestEnd;
}

QString userBusy(const QString &name)
{
    return BusyUserMarker + name + QLatin1StringView("</bsy usr>");
}

QString userFree(const QString &name)
{
    return FreeUserMarker + name + QLatin1StringView("</fre usr>");
}

bool holdsClientMarker(QStringView text)
{
    for (QLatin1StringView marker :
         {AddUserMarker, RemoveUserMarker, BusyUserMarker, FreeUserMarker, RequestTag}) {
        if (text.contains(marker, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QByteArray toLatin1(const QString &text)
{
    return varrow::detail::toLatin1(text);
}

QString fromLatin1(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes);
}

qsizetype firstTag(QStringView text, QLatin1StringView tag)
{
    for (qsizetype at = text.indexOf(u'<'); at >= 0 && at + tag.size() <= text.size(); at = text.indexOf(u'<', at + 1))
        if (text.sliced(at, tag.size()).compare(tag, Qt::CaseInsensitive) == 0)
            return at;
    return -1;
}

bool isDottedIPv4(QStringView address)
{
    int parts = 0;
    qsizetype from = 0;
    while (true) {
        const qsizetype dot = address.indexOf(u'.', from);
        const QStringView part = address.sliced(from, (dot < 0 ? address.size() : dot) - from);
        const int value = decimal(part, 3);
        if (value < 0 || value > 255 || (part.size() > 1 && part.front() == u'0'))
            return false;
        ++parts;
        if (dot < 0)
            break;
        from = dot + 1;
    }
    return parts == 4;
}

std::optional<quint16> requestPort(QStringView port)
{
    const int value = decimal(port, 5);
    if (value < RequestPortMin || value > RequestPortMax)
        return std::nullopt;
    return quint16(value);
}

} // namespace quillet::wire
