// The peer protocol of private chats: answers, keystrokes, deletions and the close notice.
// Pure functions over strings and bytes: no socket, no widget. The grammar is in peerprotocol.cpp;
// the link (peerlink.h) frames and classifies what goes over the connection.
#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>

namespace quillet::PeerProtocol {

QString acceptReply();                               // "<chat reply>accept</chat reply>"
QString refuseReply(const QString &reason = {});     // "<chat reply>refuse</chat reply>" + reason
                                                     // (0 characters are removed from the reason)
QString closeNotice();                               // "<close>"
// The message for one key press with character code `code` (1..255): Enter and line feed become
// a line feed character message, Backspace the delete message, anything else its own character
// (a code above 255 goes out as "?"). Empty for a code of 0 or less: nothing to send.
QString keystroke(int code);
QString deleteMessage();                             // "<d>1 </d>"

// Extension: a well-formed extension message (peerextensions.h), which a client of the first
// protocol files under Ignored: it reaches rule 6 below, and only there is it told apart.
enum class Kind { Close, Accept, Refuse, Character, Delete, Extension, Ignored };

struct Message {
    Kind kind = Kind::Ignored;
    QChar character;     // Character: the character to show
    int count = 0;       // Delete: how many characters to remove (0 when the count is not a digit)
    QString reason;      // Refuse: text after "</chat reply>", if any
    QString extension;   // Extension: its name ("hello", ...)
    QString body;        // Extension: its body
};
// Classifies one received message (its terminator already removed). Rules, in order: exactly
// "<close>"; exactly the accept text; "<chat reply>refuse" anywhere in any case (reason: the text
// after the first "</chat reply>" that follows it); character 2 "a" -> Character (character 4;
// Ignored when shorter than 4); character 2 "d" -> Delete (count: character 4 as a digit, else 0);
// a well-formed extension message -> Extension; anything else Ignored.
Message classify(const QString &text);

// The bytes that carry one message: its Latin-1 text (wire::toLatin1) with every 0 character sent
// as "?", then the 0 byte that ends the message.
QByteArray frame(const QString &message);

} // namespace quillet::PeerProtocol
