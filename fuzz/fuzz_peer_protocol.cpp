// Fuzz target: the peer protocol of private chats: classification, framing and the round trip of
// what one client sends to what the other one shows.
//
// From the input:
//   - one received text, classified: the result must follow the documented rules (exact close and
//     accept texts, a refusal's reason being the text after its "</chat reply>", characters 2 and 4
//     of keystroke and delete messages); read as a stroke message, any segment it gives lies in the
//     cut rectangle in a palette colour, and builds and reads back unchanged.
// (Every keystroke and a refusal's reason over the wire: the protocol table.)
// (The framer under the link is Varrow's, fuzzed by fuzz_varrow_framer.)

#include "fuzzcheck.h"
#include "peerextensions.h"
#include "peerprotocol.h"
#include "strokemessages.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

namespace PP = quillet::PeerProtocol;

namespace {

const QString AcceptText = QStringLiteral("<chat reply>accept</chat reply>");
const QString RefuseMarker = QStringLiteral("<chat reply>refuse");
const QString ReplyEnd = QStringLiteral("</chat reply>");

QString latin1(const std::string &bytes)
{
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

void checkClassification(const QString &text)
{
    const PP::Message m = PP::classify(text);
    if (text == u"<close>") {
        FUZZ_CHECK(m.kind == PP::Kind::Close);
    } else if (text == AcceptText) {
        FUZZ_CHECK(m.kind == PP::Kind::Accept);
    } else if (text.contains(RefuseMarker, Qt::CaseInsensitive)) {
        FUZZ_CHECK(m.kind == PP::Kind::Refuse);
        const qsizetype marker = text.indexOf(RefuseMarker, 0, Qt::CaseInsensitive);
        const qsizetype end = text.indexOf(ReplyEnd, marker + RefuseMarker.size(),
                                           Qt::CaseInsensitive);
        FUZZ_CHECK(m.reason == (end < 0 ? QString() : text.sliced(end + ReplyEnd.size())));
    } else if (text.size() >= 2 && text.at(1) == u'a') {
        FUZZ_CHECK(m.kind == (text.size() >= 4 ? PP::Kind::Character : PP::Kind::Ignored));
        if (text.size() >= 4)
            FUZZ_CHECK(m.character == text.at(3));
    } else if (text.size() >= 2 && text.at(1) == u'd') {
        FUZZ_CHECK(m.kind == PP::Kind::Delete);
        const bool digit = text.size() >= 4 && text.at(3) >= u'0' && text.at(3) <= u'9';
        FUZZ_CHECK(m.count == (digit ? text.at(3).unicode() - u'0' : 0));
        FUZZ_CHECK(m.count >= 0 && m.count <= 9);
    } else if (m.kind == PP::Kind::Extension) {
        // Only a well-formed extension message, whose parts rebuild it exactly.
        FUZZ_CHECK(quillet::PeerExtensions::build(m.extension, m.body) == text);
        FUZZ_CHECK(!m.body.contains(u'<'));
    } else {
        FUZZ_CHECK(m.kind == PP::Kind::Ignored);
    }
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
