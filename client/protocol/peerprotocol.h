// The peer protocol of private chats: answers, keystrokes, deletions and the close notice.
// Pure functions over strings and bytes: no socket, no widget. The grammar is in peerprotocol.cpp.
#pragma once

#include <QByteArray>
#include <QChar>
#include <QList>
#include <QString>

namespace quillet::PeerProtocol {

QString acceptReply();                               // "<chat reply>accept</chat reply>"
QString refuseReply(const QString &reason = {});     // "<chat reply>refuse</chat reply>" + reason
QString closeNotice();                               // "<close>"
// The message for one key press with character code `code` (1..255): Enter and line feed become
// a line feed character message, Backspace the delete message, anything else its own character.
QString keystroke(int code);
QString deleteMessage();                             // "<d>1 </d>"

enum class Kind { Close, Accept, Refuse, Character, Delete, Ignored };

struct Message {
    Kind kind = Kind::Ignored;
    QChar character;     // Character: the character to show
    int count = 0;       // Delete: how many characters to remove (0 when the count is not a digit)
    QString reason;      // Refuse: text after "</chat reply>", if any
};
// Classifies one received message (its terminator already removed).
Message classify(const QString &text);

// Splits a peer byte stream at 0 bytes. Every message goes out followed by one 0 byte; the
// receiver feeds whatever each read brings and gets back the complete messages in order, while an
// unterminated tail waits for its 0 byte. A tail longer than maxPending bytes is discarded up to
// the next 0 byte, so a peer cannot make the buffer grow without bound.
class Framer
{
public:
    explicit Framer(qsizetype maxPending = 64 * 1024);
    QList<QByteArray> feed(const QByteArray &bytes);
    qsizetype pending() const { return m_buffer.size(); }
    void clear();

private:
    QByteArray m_buffer;
    qsizetype m_maxPending;
    bool m_discarding = false;
};

// Latin-1 conversion of the peer connection: a character above 255 is sent as "?".
QByteArray encode(const QString &text);
QString decode(const QByteArray &bytes);

} // namespace quillet::PeerProtocol
