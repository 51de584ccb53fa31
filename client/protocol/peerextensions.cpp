// Extension messages of the peer protocol; the grammar is in peerextensions.h.
#include "peerextensions.h"

namespace quillet::PeerExtensions {

namespace {
constexpr qsizetype MaxFeatures = 32;
constexpr qsizetype MaxHelloLength = 512;

bool isName(QStringView s)
{
    if (s.isEmpty() || s.size() > 16)
        return false;
    for (const QChar c : s)
        if (c < u'a' || c > u'z')
            return false;
    return true;
}
} // namespace

QStringList ownFeatures()
{
    return {QString(Canvas), QString(File)};
}

QString name(const QString &text, qsizetype maxLength)
{
    // "<x" NAME ">" BODY "</x" NAME ">": the shortest is "<xa></xa>".
    if (text.size() > maxLength || !text.startsWith(u"<x"))
        return {};
    const qsizetype close = text.indexOf(u'>', 2);
    if (close < 0)
        return {};
    const QStringView n = QStringView(text).sliced(2, close - 2);
    if (!isName(n))
        return {};
    const qsizetype endTag = text.size() - n.size() - 4; // "</x" NAME ">"
    if (endTag <= close || text.indexOf(u'<', close + 1) != endTag)
        return {};
    const QStringView tail = QStringView(text).sliced(endTag);
    if (!tail.startsWith(u"</x") || tail.sliced(3, n.size()) != n || !tail.endsWith(u'>'))
        return {};
    return n.toString();
}

std::optional<QString> body(const QString &text, QStringView expected, qsizetype maxLength)
{
    if (name(text, maxLength) != expected)
        return std::nullopt;
    const qsizetype start = expected.size() + 3;
    return text.sliced(start, text.size() - start - expected.size() - 4);
}

QString build(QStringView name, QStringView body)
{
    QString text;
    text.reserve(2 * name.size() + body.size() + 7);
    text.append(u"<x").append(name).append(u'>').append(body).append(u"</x").append(name).append(u'>');
    return text;
}

QString hello(const QStringList &features)
{
    return build(u"hello", features.join(u','));
}

std::optional<QStringList> parseHello(const QString &text)
{
    const std::optional<QString> b = body(text, u"hello", MaxHelloLength);
    return b ? helloFeatures(*b) : std::nullopt;
}

std::optional<QStringList> helloFeatures(const QString &body)
{
    if (body.size() > MaxHelloLength)
        return std::nullopt;
    QStringList features = body.split(u',', Qt::SkipEmptyParts);
    if (features.size() > MaxFeatures)
        return std::nullopt;
    return features;
}

} // namespace quillet::PeerExtensions
