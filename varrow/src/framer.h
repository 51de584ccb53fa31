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
// It knows nothing of sockets or text encodings, so it can be exercised on its own.
#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <deque>

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

    bool hasMessage() const noexcept { return !m_ready.empty(); }
    qsizetype readyCount() const noexcept { return qsizetype(m_ready.size()); }
    // Removes and returns the oldest complete message. Only call when hasMessage().
    QByteArray takeMessage();

    // Bytes of the unterminated tail currently held (0 while discarding).
    qsizetype pendingSize() const noexcept { return m_tail.size(); }
    // True while an oversized message is being skipped up to its 0 byte.
    bool isDiscarding() const noexcept { return m_discarding; }
    // Messages dropped so far because they exceeded the limit.
    quint64 discardedCount() const noexcept { return m_discardedCount; }
    qsizetype limit() const noexcept { return m_limit; }
    // Overflow::Stop only: a message outgrew the limit; the stream has ended.
    bool hasOverflowed() const noexcept { return m_overflowed; }

    // Forgets the tail, every message not yet taken and an overflow (the connection is gone).
    // The limit stays.
    void clear();

private:
    qsizetype m_limit;
    Overflow m_overflow;
    QByteArray m_tail;
    std::deque<QByteArray> m_ready;
    bool m_discarding = false;
    bool m_overflowed = false;
    quint64 m_discardedCount = 0;
};

} // namespace varrow::detail
