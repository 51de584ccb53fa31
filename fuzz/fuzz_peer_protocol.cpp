// Fuzz target: the peer protocol of private chats: classification, framing and the round trip of
// what one client sends to what the other one shows.
//
// From the input:
//   - one received text, classified: what it gives is bounded by the text; read as a stroke
//     message, any segment it gives lies in the cut rectangle in a palette colour, and builds and
//     reads back unchanged.
// (The classification rules, every keystroke and a refusal's reason over the wire: the protocol
// table; here only that the refusal is found wherever a case-blind search finds it.)
// (The framer under the link is Varrow's, fuzzed by fuzz_varrow_framer.)

#include "fuzzcheck.h"
#include "peerextensions.h"
#include "peerprotocol.h"
#include "strokemessages.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

namespace PP = quillet::PeerProtocol;

namespace {

QString latin1(const std::string &bytes)
{
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

// What a message gives is bounded by the message: a refusal's reason is a tail of it, a
// character one of its characters, a count one digit; an extension rebuilds it exactly.
void checkClassification(const QString &text)
{
    const PP::Message m = PP::classify(text);
    FUZZ_CHECK(m.kind == PP::Kind::Refuse || m.reason.isEmpty());
    FUZZ_CHECK(text.endsWith(m.reason) && m.count >= 0 && m.count <= 9);
    FUZZ_CHECK(m.kind != PP::Kind::Character || text.contains(m.character));
    if (text != PP::acceptReply() && text != QLatin1StringView("<close>")) // the refusal as a plain search finds it
        FUZZ_CHECK((m.kind == PP::Kind::Refuse) == text.contains(QLatin1StringView("<chat reply>refuse"), Qt::CaseInsensitive));
    if (m.kind == PP::Kind::Extension)
        FUZZ_CHECK(quillet::PeerExtensions::build(m.extension, m.body) == text && !m.body.contains(u'<'));
}

void checkStrokes(const QString &text)
{
    namespace SM = quillet::StrokeMessages;
    const std::optional<SM::Strokes> strokes = SM::parse(text);
    if (!strokes)
        return;
    FUZZ_CHECK(PP::classify(text).kind == PP::Kind::Extension);
    const auto inCut = [](QPoint p) {
        return p.x() >= -SM::ClipMargin && p.x() <= SM::CanvasSize.width() + SM::ClipMargin
            && p.y() >= -SM::ClipMargin && p.y() <= SM::CanvasSize.height() + SM::ClipMargin;
    };
    for (const SM::Segment &s : strokes->segments)
        FUZZ_CHECK(s.colour >= 0 && s.colour < SM::ColourCount && inCut(s.line.p1()) && inCut(s.line.p2()));
    if (strokes->clear) {
        FUZZ_CHECK(strokes->segments.isEmpty() && text == SM::clearMessage());
        return;
    }
    const QStringList rebuilt = SM::drawMessages(strokes->segments);
    FUZZ_CHECK(rebuilt.size() == (strokes->segments.isEmpty() ? 0 : 1));
    if (!rebuilt.isEmpty())
        FUZZ_CHECK(SM::parse(rebuilt.first()).value().segments == strokes->segments);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const QString received = latin1(input.ConsumeRandomLengthString(512));
    checkClassification(received);
    checkStrokes(received);
    return 0;
}
