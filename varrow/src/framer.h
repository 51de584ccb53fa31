// Splits a received byte stream into 0-terminated messages.
//
// The framer is fed whatever a receive returned and hands back every complete message, in order,
// without its terminating 0 byte. An unterminated tail is kept until its 0 byte arrives. A tail that
// grows beyond the limit (1 MiB by default) is dropped, and so is everything after it up to and
// including the next 0 byte; framing then resumes with the byte after that 0. Memory held is thus
// bounded by the limit plus the complete messages not yet taken.
//
// With Overflow::Stop instead, the first message that outgrows the limit ends the stream: the
// framer keeps the messages completed before it, drops the rest and ignores further input until
// clear() (its owner closes the connection).
//
// The bytes are held in one buffer: a message waiting to be taken is a span of it, so feeding a
// chunk copies it once, whatever the number of messages in it, and taking a message as a view
// (nextMessage) copies nothing.
//
// It knows nothing of sockets or text encodings, so it can be exercised on its own.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <memory>
#include <vector>

namespace varrow::detail {

class Framer
{
public:
    static constexpr qsizetype DefaultLimit = qsizetype(1) << 20;
    enum class Overflow { Skip, Stop };

    explicit Framer(qsizetype limit = DefaultLimit, Overflow overflow = Overflow::Skip) noexcept
        : m_limit(limit), m_overflow(overflow) {}

    // Takes effect with the next feed(); what is held already stays.
    void setLimit(qsizetype limit, Overflow overflow) noexcept
    {
        m_limit = limit;
        m_overflow = overflow;
    }

    // Appends received bytes; complete messages become available through takeMessage().
    void feed(QByteArrayView bytes);

    bool hasMessage() const noexcept { return m_head < m_ready.size(); }
    qsizetype readyCount() const noexcept { return qsizetype(m_ready.size() - m_head); }
    // Removes and returns the oldest complete message. Only call when hasMessage().
    QByteArray takeMessage() { return nextMessage().toByteArray(); }
    // The same without a copy: the view stays valid until the next call that changes the framer.
    QByteArrayView nextMessage() noexcept
    {
        Q_ASSERT(hasMessage());
        const Span span = m_ready[m_head++];
        return QByteArrayView(m_buffer.get() + span.start, span.size);
    }

    // Bytes of the unterminated tail currently held (0 while discarding).
    qsizetype pendingSize() const noexcept { return m_end - m_tailStart; }
    // True while an oversized message is being skipped up to its 0 byte.
    bool isDiscarding() const noexcept { return m_discarding; }
    // Messages dropped so far because they exceeded the limit.
    quint64 discardedCount() const noexcept { return m_discardedCount; }
    qsizetype limit() const noexcept { return m_limit; }
    // Overflow::Stop only: a message outgrew the limit; the stream has ended.
    bool hasOverflowed() const noexcept { return m_overflowed; }

    // Once every message has been taken, gives back a buffer grown for a large receive, keeping
    // only the tail: an idle connection holds little.
    void trim();

    // Forgets the tail, every message not yet taken and an overflow (the connection is gone).
    // The limit stays.
    void clear();

private:
    struct Span
    {
        qsizetype start;
        qsizetype size;
    };
    // Room for `size` more bytes at m_end: the bytes already taken are dropped first.
    void makeRoom(qsizetype size);

    qsizetype m_limit;
    Overflow m_overflow;
    std::unique_ptr<char[]> m_buffer;
    qsizetype m_capacity = 0;
    qsizetype m_tailStart = 0;     // the unterminated tail runs from here to m_end
    qsizetype m_end = 0;
    std::vector<Span> m_ready;     // complete messages; those before m_head are taken
    size_t m_head = 0;
    bool m_discarding = false;
    bool m_overflowed = false;
    quint64 m_discardedCount = 0;
};

} // namespace varrow::detail
