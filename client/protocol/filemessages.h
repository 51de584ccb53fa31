// File transfer messages of the peer protocol: extension messages (peerextensions.h) that a client
// sends only to a partner whose hello named the feature "file".
//
// Grammar (extension bodies; every message still ends with one 0 byte on the wire)
//
//   offer   = "<xfileoffer>" ID "," SIZE "," KIND "," NAME "</xfileoffer>"   ; sender -> receiver
//   accept  = "<xfileaccept>" ID "</xfileaccept>"                            ; receiver -> sender
//   refuse  = "<xfilerefuse>" ID "</xfilerefuse>"                            ; receiver -> sender
//   data    = "<xfiledata>" ID "," BYTES "</xfiledata>"                      ; sender -> receiver
//   end     = "<xfileend>" ID "," SHA256 "</xfileend>"                       ; sender -> receiver
//   done    = "<xfiledone>" ID "</xfiledone>"                                ; receiver -> sender
//   cancel  = "<xfilecancel>" ID "," ROLE "," REASON "</xfilecancel>"        ; either way
//
//   ID      = %x31-39 0*8 DIGIT             ; 1 to 999999999, chosen by the sender of the offer
//   SIZE    = "0" / %x31-39 0*18 DIGIT      ; bytes, at most 2^63 - 1
//   KIND    = "file" / "picture"
//   NAME    = 1*( ALPHA / DIGIT / "-" / "." / "_" / "~" / "%" 2HEXDIG )
//                                           ; the file name as UTF-8, percent-encoded (valid UTF-8,
//                                           ; 1 to MaxNameBytes bytes)
//   BYTES   = 1*( %x02-3B / %x3D-FF / %x01 ( "@" / "A" / "|" ) )
//                                           ; 1 to MaxChunk bytes: each byte with its top bit
//                                           ; flipped (b XOR 0x80); the three results that may not
//                                           ; appear (0x00 ends a message, "<" a body, 0x01 is the
//                                           ; escape) go as 0x01 and the result plus 0x40
//   SHA256  = 64( DIGIT / %x61-66 )         ; of all the bytes, lower-case hex
//   ROLE    = "sender" / "receiver"         ; the role of whoever cancels: tells which side's ID
//   REASON  = 1*16( %x61-7A )               ; "cancelled", "closed", "checksum", "size",
//                                           ; "protocol", "read", "write"; others read as "cancelled"
//
// IDs are the offering side's: the two directions have separate numbers, and every message names
// the transfer from its own direction (accept, refuse and done answer the receiver's partner's
// offer; data and end belong to the sender's own; cancel says which by ROLE). Nothing answers a
// cancel.
//
// Why this byte encoding: a chunk of random bytes grows by 1.2% (3 values of 256 are escaped),
// and with the top bit flipped the bytes that binaries and text are full of (0x00, ASCII) never need
// the escape: 0.7% on a mix of /usr/bin programs, 0% on text and on runs of zeros (21% and 100%
// without the flip). Base64 costs 33% on everything, and encoding plus decoding it ran at less than
// half the speed in the same measurement.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace quillet::FileMessages {

// Bytes per data message: even a chunk of nothing but escaped bytes (twice as long) stays well
// inside the 64 KiB that the peer framer accepts.
inline constexpr qsizetype MaxChunk = 16 * 1024;
inline constexpr qsizetype MaxNameBytes = 1024;
inline constexpr quint32 MaxId = 999999999;

enum class Kind { File, Picture };
enum class Role { Sender, Receiver };
enum class Type { None, Offer, Accept, Refuse, Data, End, Done, Cancel };

QString offer(quint32 id, qint64 size, Kind kind, const QString &name);
QString accept(quint32 id);
QString refuse(quint32 id);
QString data(quint32 id, QByteArrayView bytes);    // 1 to MaxChunk bytes
QString end(quint32 id, QByteArrayView sha256);    // the 32 bytes of the digest
QString done(quint32 id);
QString cancel(quint32 id, Role role, QLatin1StringView reason);

// A received message, read. Type None: not a file message, or one that breaks the grammar (a
// negative, non-numeric, zero or oversized number, an unknown KIND, a bad escape, too many bytes,
// a name that is no valid percent-encoded UTF-8, ...). Only the fields of its type are set.
struct Message {
    Type type = Type::None;
    quint32 id = 0;
    qint64 size = 0;           // Offer
    Kind kind = Kind::File;    // Offer
    QString name;              // Offer: as the sender wrote it; not yet safe to use as a file name
    QByteArray bytes;          // Data: the chunk; End: the 32 bytes of the digest
    Role role = Role::Sender;  // Cancel
    QString reason;            // Cancel
};
Message parse(const QString &text);
// The same for an extension message already split into its name and body (peerprotocol.h).
Message parse(QStringView name, QStringView body);

// The byte encoding of BYTES, exposed for the benchmarks and the tests.
void appendBytes(QString &out, QByteArrayView bytes);
// False (and `out` unspecified) when `text` is not a valid BYTES encoding.
bool decodeBytes(QStringView text, QByteArray &out);

} // namespace quillet::FileMessages
