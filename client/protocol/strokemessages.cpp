// Stroke messages of the shared canvas; the grammar is in strokemessages.h.
#include "strokemessages.h"

#include "peerextensions.h"

#include <QLineF>
#include <QRectF>

#include <algorithm>

namespace quillet::StrokeMessages {

namespace {

constexpr QStringView DrawName(u"draw");
constexpr QStringView ClearName(u"clear");
// The longest well-formed draw message: MaxSegments of "15,-99999,-99999,-99999,-99999;".
constexpr qsizetype MaxDrawLength = MaxSegments * 31 + 2 * DrawName.size() + 7;

// Reads a number of at most `maxDigits` digits, with a leading "-" if `sign`, at `pos` up to the
// next separator (or the end); advances `pos` past that separator.
std::optional<int> number(QStringView s, qsizetype &pos, int maxDigits, bool sign, QChar separator)
{
    bool negative = false;
    if (sign && pos < s.size() && s[pos] == u'-') {
        negative = true;
        ++pos;
    }
    int value = 0;
    int digits = 0;
    for (; pos < s.size() && s[pos] != separator; ++pos, ++digits) {
        const char16_t c = s[pos].unicode();
        if (c < u'0' || c > u'9' || digits == maxDigits)
            return std::nullopt;
        value = value * 10 + (c - u'0');
    }
    if (digits == 0)
        return std::nullopt;
    if (pos < s.size())
        ++pos; // the separator
    return negative ? -value : value;
}

} // namespace

std::optional<QLine> clip(QLine line)
{
    const QRectF r = QRectF(QPointF(0, 0), QSizeF(CanvasSize))
                         .adjusted(-ClipMargin, -ClipMargin, ClipMargin, ClipMargin);
    const QPointF a = line.p1();
    const QPointF b = line.p2();
    if (r.contains(a) && r.contains(b))
        return line;
    // Liang-Barsky: the part of a + t (b - a), 0 <= t <= 1, inside r.
    const QPointF d = b - a;
    const double p[4] = {-d.x(), d.x(), -d.y(), d.y()};
    const double q[4] = {a.x() - r.left(), r.right() - a.x(), a.y() - r.top(), r.bottom() - a.y()};
    double t0 = 0, t1 = 1;
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0)
                return std::nullopt; // parallel to this edge and outside it
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1)
            return std::nullopt;
    }
    return QLine((a + t0 * d).toPoint(), (a + t1 * d).toPoint());
}

QStringList drawMessages(const QList<Segment> &segments)
{
    QStringList messages;
    QString body;
    int inBody = 0;
    const auto flush = [&] {
        if (inBody > 0)
            messages.append(PeerExtensions::build(DrawName, body));
        body.clear();
        inBody = 0;
    };
    for (const Segment &s : segments) {
        if (s.colour < 0 || s.colour >= ColourCount)
            continue;
        const std::optional<QLine> line = clip(s.line);
        if (!line)
            continue;
        if (inBody == MaxSegments)
            flush();
        if (inBody > 0)
            body.append(u';');
        body.append(QString::number(s.colour)).append(u',')
            .append(QString::number(line->x1())).append(u',').append(QString::number(line->y1())).append(u',')
            .append(QString::number(line->x2())).append(u',').append(QString::number(line->y2()));
        ++inBody;
    }
    flush();
    return messages;
}

QString clearMessage()
{
    return PeerExtensions::build(ClearName, {});
}

std::optional<Strokes> parse(const QString &text)
{
    const QString name = PeerExtensions::name(text, MaxDrawLength);
    if (name.isEmpty())
        return std::nullopt;
    return parse(name, QStringView(text).sliced(name.size() + 3, text.size() - 2 * name.size() - 7));
}

std::optional<Strokes> parse(QStringView name, QStringView body)
{
    if (name == ClearName)
        return body.isEmpty() ? std::optional<Strokes>(Strokes{true, {}}) : std::nullopt;
    if (name != DrawName || body.size() > MaxDrawLength)
        return std::nullopt;
    Strokes strokes;
    int count = 0;
    for (qsizetype pos = 0; pos < body.size() || count == 0;) {
        if (++count > MaxSegments)
            return std::nullopt;
        const std::optional<int> colour = number(body, pos, 2, false, u',');
        std::optional<int> v[4];
        for (int i = 0; i < 4; ++i)
            v[i] = number(body, pos, 5, true, i < 3 ? QChar(u',') : QChar(u';'));
        if (!colour || *colour >= ColourCount || !v[0] || !v[1] || !v[2] || !v[3])
            return std::nullopt;
        if (pos == body.size() && body.endsWith(u';'))
            return std::nullopt; // a trailing ";" with no segment after it
        if (const std::optional<QLine> line = clip(QLine(*v[0], *v[1], *v[2], *v[3])))
            strokes.segments.append({*colour, *line});
    }
    return strokes;
}

} // namespace quillet::StrokeMessages
