// Stroke messages of the shared canvas: extension messages (peerextensions.h) that carry each
// partner's drawing to the other's screen as it is drawn. A client sends them only to a partner
// whose hello named "canvas".
//
// Grammar (beside the extension grammar of peerextensions.h)
//
//   draw    = "<xdraw>" SEGMENT *(";" SEGMENT) "</xdraw>"  ; 1 to MaxSegments segments, in drawing order
//   SEGMENT = COLOUR "," X "," Y "," X "," Y              ; colour, from-point, to-point
//   COLOUR  = 1*2DIGIT                                    ; 0..15: an index of the sixteen-colour palette
//   X, Y    = ["-"] 1*5DIGIT                              ; pixels of the drawing area, (0,0) its top left
//   clear   = "<xclear></xclear>"                         ; the sender wiped its drawing
//
// A segment is a line one pixel wide from the first point to the second, both ends included; a
// segment whose ends coincide is a dot (a click). Points lie in the drawing area, CanvasSize pixels,
// grown by ClipMargin pixels on every side: a segment that leaves that rectangle is cut at its edge
// and its ends rounded to whole pixels, and one that lies wholly outside is dropped. The sender cuts
// what it sends the same way, and paints its own screen from the same cut segments, so that both
// screens show the same pixels. A message that breaks the grammar in any way, names a colour outside
// the palette or holds more than MaxSegments segments is ignored whole.
#pragma once

#include <QLine>
#include <QList>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include <optional>

namespace quillet::StrokeMessages {

// The drawing area of the canvas (the own one and the partner's), in pixels: 5655 x 2535 twips.
inline constexpr QSize CanvasSize(377, 169);
inline constexpr int ColourCount = 16;
inline constexpr int ClipMargin = 2;
inline constexpr int MaxSegments = 512;

struct Segment
{
    int colour = 0; // palette index
    QLine line;     // from p1 to p2; a dot when they coincide
    friend bool operator==(const Segment &, const Segment &) = default;
};

// `line` cut to the drawing area grown by ClipMargin (ends rounded to whole pixels); nullopt when
// no part of it lies in there. A line that lies inside is returned as it is.
std::optional<QLine> clip(QLine line);

// The draw messages for these segments, in order, each cut by clip(): at most MaxSegments segments
// a message; segments that lie wholly outside or name no palette colour are left out.
QStringList drawMessages(const QList<Segment> &segments);
QString clearMessage();

struct Strokes
{
    bool clear = false;       // a clear message
    QList<Segment> segments;  // of a draw message, cut by clip(); may be empty when all lay outside
};
// A received draw or clear message; nullopt for anything else (other messages, malformed ones).
std::optional<Strokes> parse(const QString &text);
// The same for an extension message already cut into its name and body.
std::optional<Strokes> parse(QStringView name, QStringView body);

} // namespace quillet::StrokeMessages
