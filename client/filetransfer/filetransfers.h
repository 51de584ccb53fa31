// FileTransfers: the file transfers of one private chat, both ways, several at once, each by its ID.
//
// It speaks the file messages of filemessages.h through a FileLink (the peer connection, or a
// test's fake) and touches nothing else but the files involved.
//
// Sending. offer() opens the file and sends the offer. Once the partner accepts, the file is read
// one chunk at a time and only while link.canSend() says the connection's queued output has room:
// memory holds a chunk, never the file. The owner calls drained() when the link has room again.
// Running transfers take turns chunk by chunk, and since only a bounded amount of file data waits
// in the link at any time, a keystroke or a stroke sent meanwhile never waits behind more than that.
// After the last chunk, an end with the SHA-256 of every byte sent; the partner's done completes it.
//
// Receiving. An offer is announced by offered() with a name already made safe (safeFileName);
// nothing is written before accept(). accept() creates a temporary file next to the target; the
// data goes there and is renamed to the target only when the size and the SHA-256 match. An
// existing target is replaced only when accept() was told to; otherwise accept() refuses, and a
// target that appears meanwhile ends the transfer instead of being overwritten.
// The writing and the SHA-256 happen on a thread of the transfer's own, fed in order through a
// bounded queue (2 MiB), so that the event loop reading the connection spends on a chunk little
// more than its decoding; a failed write is noticed at a later chunk or at the end, and the end
// waits for every chunk to be written before the size, the digest and the rename are checked.
//
// Every end (refused, cancelled by either side, chat closed, failed check, more or less data than
// offered, a message that does not fit the transfer's state, a read or write failure) removes the
// partial file, tells the partner why where it still needs to know, and is reported once through
// finished(). Data or an end for an ID the receiver does not know is answered with a cancel so that
// the sender stops.
#pragma once

#include "filemessages.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <map>
#include <memory>

namespace quillet {

// What the transfers need of the peer connection.
class FileLink
{
public:
    virtual ~FileLink() = default;
    // True while the connection's queued output has room for another chunk.
    virtual bool canSend() const = 0;
    virtual void send(const QString &message) = 0;
};

// The offered name as a bare file name that is safe to propose: the part after the last "/" or
// "\", without control, format (bidirectional overrides, zero-width) and line separator characters,
// with the characters Windows forbids turned into "_", no leading dots or blanks and no trailing
// ones, a reserved device name of Windows prefixed with "_", at most 200 UTF-8 bytes (the extension
// kept); "received file" when nothing is left.
QString safeFileName(const QString &offered);

class FileTransfers : public QObject
{
    Q_OBJECT

public:
    enum class Direction { Outgoing, Incoming };
    Q_ENUM(Direction)
    enum class Outcome {
        Completed,
        Refused,         // the receiver refused the offer
        Cancelled,       // cancelled by a user
        ChatClosed,      // the private chat ended
        ChecksumFailed,  // the data did not match the sender's SHA-256
        SizeMismatch,    // more or less data than offered
        ProtocolError,   // a message that does not fit the transfer, or for an unknown ID
        ReadFailed,      // the sender could not read its file
        WriteFailed,     // the receiver could not write
        TargetExists,    // a file appeared at the target, and replacing it was not allowed
    };
    Q_ENUM(Outcome)
    enum class AcceptResult { Started, TargetExists, CannotWrite, NoSuchOffer };

    // Offers from one partner that may be open (offered or running) at once; further offers are
    // refused without asking.
    static constexpr int MaxIncoming = 16;
    // Progress is reported at most this often per transfer (and once at the last byte).
    static constexpr int ProgressIntervalMs = 100;

    explicit FileTransfers(FileLink *link, QObject *parent = nullptr);
    // Removes every partial file; sends nothing and reports nothing.
    ~FileTransfers() override;

    // Offers the file at `path`; its ID, or 0 (with `error` set) when it cannot be read.
    quint32 offer(const QString &path, FileMessages::Kind kind, QString *error = nullptr);

    // Accepts the incoming offer `id`, to be saved as `target`.
    AcceptResult accept(quint32 id, const QString &target, bool replaceExisting = false);
    void refuse(quint32 id);

    // Cancels a transfer (no effect on one that has ended) and tells the partner.
    void cancel(Direction direction, quint32 id);
    // The chat has ended: every transfer ends as ChatClosed, nothing is sent.
    void closeAll();

    // Handles a received file message; false when `text` is none (a message that starts like one
    // but breaks the grammar is dropped and counts as handled).
    bool handle(const QString &text);
    // The same for an extension message split into its name and body; false when it is no file
    // message (its name does not start with "file").
    bool handle(QStringView name, QStringView body);
    void handle(const FileMessages::Message &message);

    // The link has room again: send more chunks.
    void drained();

    int count() const { return int(m_out.size() + m_in.size()); }

signals:
    void offered(quint32 id, const QString &safeName, qint64 size, quillet::FileMessages::Kind kind);
    // Bytes done of total, the rate over the last seconds (bytes per second; 0 while unknown) and
    // the time left at that rate (-1 while unknown).
    void progress(quillet::FileTransfers::Direction direction, quint32 id, qint64 done, qint64 total,
                  double bytesPerSecond, qint64 msecsLeft);
    // Once per transfer. `byPartner`: the partner ended it (its cancel, refusal or failed check).
    // `path`: the file sent, or for a completed incoming transfer the file written.
    void finished(quillet::FileTransfers::Direction direction, quint32 id,
                  quillet::FileTransfers::Outcome outcome, bool byPartner, const QString &path);

private:
    struct Transfer;
    class ChunkWriter;
    using Map = std::map<quint32, std::unique_ptr<Transfer>>;

    Map &map(Direction direction) { return direction == Direction::Outgoing ? m_out : m_in; }
    void receiveOffer(const FileMessages::Message &m);
    void receiveData(Transfer &t, const QByteArray &bytes);
    void receiveEnd(Transfer &t, const QByteArray &digest);
    void pump();
    void sendChunk(Transfer &t);
    void reportProgress(Transfer &t);
    // Ends a transfer: removes its partial file, sends a cancel with `outcome`'s reason when
    // `tellPartner`, and reports it.
    void end(Direction direction, quint32 id, Outcome outcome, bool byPartner, bool tellPartner);

    FileLink *m_link;
    Map m_out;
    Map m_in;
    quint32 m_nextId = 0;
    quint32 m_lastServed = 0;
    bool m_pumping = false;
    QByteArray m_chunk;
};

} // namespace quillet

Q_DECLARE_METATYPE(quillet::FileMessages::Kind)
