// The peer protocol of private chats.
//
// Wire grammar
// ------------
// Two clients talk over one direct TCP connection. Every message is a text of 8-bit Latin-1
// characters (one byte per character, "?" for a character that Latin-1 lacks) followed by one
// 0 byte. The receiver (PeerLink) splits its byte stream at the 0 bytes and classifies each message.
//
//   frame      = *( %x01-FF ) %x00
//   accept     = "<chat reply>accept</chat reply>"           ; the partner accepted the chat
//   refuse     = "<chat reply>refuse</chat reply>" [REASON]  ; the partner refused; REASON is the
//                                                            ; free text of its reason box
//   character  = "<a>" CHAR "</a>"                           ; one typed character; Enter (13)
//                                                            ; and line feed (10) are sent as %x0A
//   delete     = "<d>1 </d>"                                 ; Backspace: remove one character
//   close      = "<close>"                                   ; understood, never sent
//
// Classification of a received message T, in this order (the first rule that applies decides):
//   1. T is exactly "<close>"                              -> close
//   2. T is exactly "<chat reply>accept</chat reply>"      -> accept
//   3. T contains "<chat reply>refuse", any case           -> refuse; the reason is the text after
//                                                             the first "</chat reply>" (any case)
//                                                             that follows, if any
//   4. character 2 of T is "a" (lower case)                -> character 4 of T; ignored when T is
//                                                             shorter than 4
//   5. character 2 of T is "d" (lower case)                -> delete character 4 of T read as a
//                                                             digit; 0 when missing or no digit
//   6. anything else                                       -> ignored; this client tells a
//                                                             well-formed extension message
//                                                             apart (peerextensions.h holds their
//                                                             grammar and the hello rule)
// Only characters 2 and 4 of a character or delete message are read; the closing tag never is.

#include "peerprotocol.h"
#include "peerextensions.h"

#include "wire.h"

namespace quillet::PeerProtocol {

namespace {

constexpr QLatin1StringView AcceptText("<chat reply>accept</chat reply>");
constexpr QLatin1StringView RefuseText("<chat reply>refuse</chat reply>");
constexpr QLatin1StringView RefuseMarker("<chat reply>refuse");
constexpr QLatin1StringView ReplyEnd("</chat reply>");
constexpr QLatin1StringView CloseText("<close>");
constexpr QLatin1StringView DeleteText("<d>1 </d>");

} // namespace

// --- Building ---

QString acceptReply()
{
    return AcceptText;
}

QString refuseReply(const QString &reason)
{
    // A 0 character would end the message early on the wire; it cannot be part of a reason.
    QString text = RefuseText + reason;
    text.remove(QChar(0));
    return text;
}

QString closeNotice()
{
    return CloseText;
}

QString keystroke(int code)
{
    if (code <= 0)
        return {};
    if (code == 13 || code == 10)
        return QLatin1StringView("<a>\n</a>");
    if (code == 8)
        return deleteMessage();
    const QChar character = code > 0xFFFF ? QChar(u'?') : QChar(char16_t(code));
    return QLatin1StringView("<a>") + character + QLatin1StringView("</a>");
}

QString deleteMessage()
{
    return DeleteText;
}

// --- Classifying ---

Message classify(const QString &text)
{
    Message message;
    if (text == CloseText) {
        message.kind = Kind::Close;
        return message;
    }
    if (text == AcceptText) {
        message.kind = Kind::Accept;
        return message;
    }
    // Found as a case-blind search finds it, folding letters only where a "<" stands: a file data
    // message holds 16 K characters and no "<" in its body.
    const qsizetype refuse = wire::firstTag(text, RefuseMarker);
    if (refuse >= 0) {
        message.kind = Kind::Refuse;
        const qsizetype end = text.indexOf(ReplyEnd, refuse + RefuseMarker.size(),
                                           Qt::CaseInsensitive);
        if (end >= 0)
            message.reason = text.sliced(end + ReplyEnd.size());
        return message;
    }
    if (text.size() >= 2 && text.at(1) == u'a') {
        if (text.size() >= 4) {
            message.kind = Kind::Character;
            message.character = text.at(3);
        }
        return message;
    }
    if (text.size() >= 2 && text.at(1) == u'd') {
        message.kind = Kind::Delete;
        if (text.size() >= 4 && text.at(3) >= u'0' && text.at(3) <= u'9')
            message.count = text.at(3).unicode() - u'0';
        return message;
    }
    message.extension = PeerExtensions::name(text);
    if (!message.extension.isEmpty()) {
        message.kind = Kind::Extension;
        message.body = text.sliced(message.extension.size() + 3,
                                   text.size() - 2 * message.extension.size() - 7);
    }
    return message;
}

// --- Framing ---

QByteArray frame(const QString &message)
{
    // Text that is all Latin-1 already (file data always is) takes Qt's vectorised conversion.
    QByteArray bytes = QtPrivate::isLatin1(message) ? message.toLatin1() : wire::toLatin1(message);
    if (bytes.contains('\0')) // rarely: a scan is much cheaper than replace()'s loop
        bytes.replace('\0', '?');
    bytes.append('\0');
    return bytes;
}

} // namespace quillet::PeerProtocol
