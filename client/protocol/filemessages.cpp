// File transfer messages of the peer protocol; the grammar is in filemessages.h.
#include "filemessages.h"
#include "peerextensions.h"

#include <QStringDecoder>
#include <QUrl>

#include <limits>
#include <optional>

namespace quillet::FileMessages {

namespace {

constexpr char16_t Escape = 0x01;
constexpr qsizetype MaxDigest = 32;
// The longest message worth reading: a data message of escaped bytes only, an offer with the
// longest name (three characters per byte).
constexpr qsizetype MaxLength = 2 * MaxChunk + 64;
static_assert(3 * MaxNameBytes + 64 < MaxLength);

// Every message name, indexed by Type (None has none).
constexpr QStringView Names[] = {
    QStringView(), u"fileoffer", u"fileaccept", u"filerefuse", u"filedata", u"fileend", u"filedone", u"filecancel",
};

QStringView nameOf(Type type)
{
    return Names[int(type)];
}

QLatin1StringView kindText(Kind kind)
{
    return kind == Kind::Picture ? QLatin1StringView("picture") : QLatin1StringView("file");
}

QLatin1StringView roleText(Role role)
{
    return role == Role::Receiver ? QLatin1StringView("receiver") : QLatin1StringView("sender");
}

bool isLowerWord(QStringView s, qsizetype maxLength)
{
    if (s.isEmpty() || s.size() > maxLength)
        return false;
    for (const QChar c : s)
        if (c < u'a' || c > u'z')
            return false;
    return true;
}

// Decimal digits without sign, blanks or leading zeros ("0" itself is allowed), at most maxDigits.
std::optional<quint64> number(QStringView s, qsizetype maxDigits)
{
    if (s.isEmpty() || s.size() > maxDigits || (s.size() > 1 && s.front() == u'0'))
        return std::nullopt;
    quint64 value = 0;
    for (const QChar c : s) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
        value = value * 10 + (c.unicode() - u'0'); // 19 digits cannot overflow 64 bits
    }
    return value;
}

std::optional<quint32> id(QStringView s)
{
    const std::optional<quint64> value = number(s, 9);
    if (!value || *value == 0)
        return std::nullopt;
    return quint32(*value);
}

bool isHex(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

std::optional<QString> decodeName(QStringView s)
{
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t c = s[i].unicode();
        if (c == u'%') {
            if (i + 2 >= s.size() || !isHex(s[i + 1].unicode()) || !isHex(s[i + 2].unicode()))
                return std::nullopt;
            i += 2;
        } else if (!((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
                     || c == u'-' || c == u'.' || c == u'_' || c == u'~')) {
            return std::nullopt;
        }
    }
    const QByteArray utf8 = QByteArray::fromPercentEncoding(s.toLatin1());
    if (utf8.isEmpty() || utf8.size() > MaxNameBytes)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString name = decoder.decode(utf8);
    if (decoder.hasError())
        return std::nullopt;
    return name;
}

QString withId(quint32 id, QStringView rest = {})
{
    QString body = QString::number(id);
    if (!rest.isNull())
        body.append(u',').append(rest);
    return body;
}

} // namespace

// --- Building ---

QString offer(quint32 id, qint64 size, Kind kind, const QString &name)
{
    const QString encoded = QString::fromLatin1(QUrl::toPercentEncoding(name));
    return PeerExtensions::build(nameOf(Type::Offer), withId(id, QString::number(size) + u',' + kindText(kind)
                                                                   + u',' + encoded));
}

QString accept(quint32 id)
{
    return PeerExtensions::build(nameOf(Type::Accept), withId(id));
}

QString refuse(quint32 id)
{
    return PeerExtensions::build(nameOf(Type::Refuse), withId(id));
}

QString data(quint32 id, QByteArrayView bytes)
{
    QString body = withId(id, u"");
    body.reserve(body.size() + bytes.size() + bytes.size() / 32 + 16);
    appendBytes(body, bytes);
    return PeerExtensions::build(nameOf(Type::Data), body);
}

QString end(quint32 id, QByteArrayView sha256)
{
    return PeerExtensions::build(nameOf(Type::End), withId(id, QString::fromLatin1(sha256.toByteArray().toHex())));
}

QString done(quint32 id)
{
    return PeerExtensions::build(nameOf(Type::Done), withId(id));
}

QString cancel(quint32 id, Role role, QLatin1StringView reason)
{
    return PeerExtensions::build(nameOf(Type::Cancel), withId(id, roleText(role) + u',' + reason));
}

void appendBytes(QString &out, QByteArrayView bytes)
{
    // Worst case: every byte escaped.
    const qsizetype start = out.size();
    out.resize(start + 2 * bytes.size());
    char16_t *const begin = reinterpret_cast<char16_t *>(out.data()) + start;
    char16_t *o = begin;
    for (const char byte : bytes) {
        const char16_t c = char16_t(quint8(byte) ^ 0x80);
        if (c <= Escape || c == u'<') [[unlikely]] {
            *o++ = Escape;
            *o++ = char16_t(c + 0x40);
        } else {
            *o++ = c;
        }
    }
    out.truncate(start + (o - begin));
}

bool decodeBytes(QStringView text, QByteArray &out)
{
    out.resize(text.size());
    char *o = out.data();
    const char16_t *p = text.utf16();
    const char16_t *const e = p + text.size();
    while (p < e) {
        char16_t c = *p++;
        if (c == Escape) [[unlikely]] {
            if (p == e)
                return false;
            c = char16_t(*p++ - 0x40);
            if (c > Escape && c != u'<')
                return false;
        } else if (c == 0 || c == u'<' || c > 0xFF) [[unlikely]] {
            return false;
        }
        *o++ = char(c ^ 0x80);
    }
    out.truncate(o - out.data());
    return true;
}

// --- Reading ---

Message parse(const QString &text)
{
    if (!text.startsWith(u"<xfile"))
        return {};
    const QString name = PeerExtensions::name(text, MaxLength);
    if (name.isEmpty())
        return {};
    // The body lies between "<x" NAME ">" and "</x" NAME ">".
    return parse(name, QStringView(text).sliced(name.size() + 3, text.size() - 2 * name.size() - 7));
}

Message parse(QStringView name, QStringView body)
{
    Message m;
    Type type = Type::None;
    for (int t = int(Type::Offer); t <= int(Type::Cancel); ++t)
        if (name == Names[t])
            type = Type(t);
    if (type == Type::None || body.size() > MaxLength)
        return m;
    const qsizetype comma = body.indexOf(u',');
    const std::optional<quint32> messageId = id(comma < 0 ? body : body.first(comma));
    if (!messageId)
        return m;
    const QStringView rest = comma < 0 ? QStringView() : body.sliced(comma + 1);
    const bool hasRest = comma >= 0;

    switch (type) {
    case Type::Accept:
    case Type::Refuse:
    case Type::Done:
        if (hasRest)
            return m;
        break;
    case Type::Offer: {
        const qsizetype c1 = rest.indexOf(u',');
        const qsizetype c2 = c1 < 0 ? -1 : rest.indexOf(u',', c1 + 1);
        if (!hasRest || c2 < 0)
            return m;
        const std::optional<quint64> size = number(rest.first(c1), 19);
        const QStringView kind = rest.sliced(c1 + 1, c2 - c1 - 1);
        std::optional<QString> fileName = decodeName(rest.sliced(c2 + 1));
        if (!size || *size > quint64(std::numeric_limits<qint64>::max()) || !fileName
            || (kind != kindText(Kind::File) && kind != kindText(Kind::Picture)))
            return m;
        m.size = qint64(*size);
        m.kind = kind == kindText(Kind::Picture) ? Kind::Picture : Kind::File;
        m.name = std::move(*fileName);
        break;
    }
    case Type::Data:
        if (!hasRest || rest.isEmpty() || !decodeBytes(rest, m.bytes) || m.bytes.size() > MaxChunk)
            return m;
        break;
    case Type::End: {
        if (!hasRest || rest.size() != 2 * MaxDigest)
            return m;
        for (const QChar c : rest)
            if (!isHex(c.unicode()) || c.isUpper())
                return m;
        m.bytes = QByteArray::fromHex(rest.toLatin1());
        break;
    }
    case Type::Cancel: {
        const qsizetype c1 = rest.indexOf(u',');
        if (!hasRest || c1 < 0)
            return m;
        const QStringView role = rest.first(c1);
        const QStringView reason = rest.sliced(c1 + 1);
        if ((role != roleText(Role::Sender) && role != roleText(Role::Receiver)) || !isLowerWord(reason, 16))
            return m;
        m.role = role == roleText(Role::Receiver) ? Role::Receiver : Role::Sender;
        m.reason = reason.toString();
        break;
    }
    case Type::None:
        return m;
    }
    m.type = type;
    m.id = *messageId;
    return m;
}

} // namespace quillet::FileMessages
