// Extension messages of the peer protocol: kinds that clients of the first protocol ignore.
//
// An extension message begins with "<x", so its second character is "x": the classification of
// peerprotocol.h files it under "ignored" (it is not the close notice, not an answer, and its body
// never holds "<", so it cannot hold the refusal text either). A client sends extension messages
// only after its partner has said once in this chat, with a hello, that it understands them; a
// partner that never says hello gets exactly the messages of the first protocol.
//
// Grammar (beside the one in peerprotocol.cpp; every message still ends with one 0 byte on the wire)
//
//   extension = "<x" NAME ">" BODY "</x" NAME ">"  ; NAME lower-case letters; BODY holds no "<"
//   hello     = "<xhello>" FEATURE *("," FEATURE) "</xhello>"
//   FEATURE   = 1*( %x61-7A )                     ; "canvas", "file"; unknown features are ignored
//
// The hello exchange: the requester sends its hello when the partner's acceptance arrives; a client
// that receives a hello and has not sent its own yet answers with its own. Each side then knows
// which features the other understands, once per chat.
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace quillet::PeerExtensions {

// Features that a hello can name.
inline constexpr QLatin1StringView Canvas("canvas");
inline constexpr QLatin1StringView File("file");
// What this client understands, in the order its hello names them.
QStringList ownFeatures();

// The NAME of an extension message ("<xNAME>...</xNAME>"), or an empty string when `text` is not
// one (wrong opening, missing or mismatched closing tag, "<" inside the body, longer than maxLength).
QString name(const QString &text, qsizetype maxLength = 64 * 1024);
// The BODY of an extension message whose name() is `expected`; nullopt otherwise.
std::optional<QString> body(const QString &text, QStringView expected,
                            qsizetype maxLength = 64 * 1024);
// Builds "<xNAME>BODY</xNAME>"; BODY must hold no "<" (the builders encode what could).
QString build(QStringView name, QStringView body);

QString hello(const QStringList &features = ownFeatures());
// The features a hello names (unknown ones kept, empty names dropped); nullopt when `text` is no
// hello or names more than 32 features.
std::optional<QStringList> parseHello(const QString &text);
// The same for the body of a message already known to be a hello.
std::optional<QStringList> helloFeatures(const QString &body);

} // namespace quillet::PeerExtensions
