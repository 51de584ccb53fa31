#include "framer.h"

#include <algorithm>
#include <cstring>

namespace varrow::detail {

void Framer::makeRoom(qsizetype size)
{
    // Drop what has been taken: the oldest message still waiting (or the tail) moves to the front.
    const qsizetype keepFrom = m_head < m_ready.size() ? m_ready[m_head].start : m_tailStart;
    if (keepFrom > 0) {
        std::memmove(m_buffer.get(), m_buffer.get() + keepFrom, size_t(m_end - keepFrom));
        m_ready.erase(m_ready.begin(), m_ready.begin() + qsizetype(m_head));
        m_head = 0;
        for (Span &span : m_ready)
            span.start -= keepFrom;
        m_tailStart -= keepFrom;
        m_end -= keepFrom;
    }
    if (m_capacity - m_end >= size)
        return;
    const qsizetype capacity = std::max(m_capacity * 2, m_end + size);
    auto grown = std::make_unique_for_overwrite<char[]>(size_t(capacity));
    if (m_end > 0)
        std::memcpy(grown.get(), m_buffer.get(), size_t(m_end));
    m_buffer = std::move(grown);
    m_capacity = capacity;
}

void Framer::feed(QByteArrayView bytes)
{
    if (bytes.isEmpty() || m_overflowed)
        return;
    if (m_capacity - m_end < bytes.size() || (m_head > 0 && m_head == m_ready.size()))
        makeRoom(bytes.size());
    char *const buffer = m_buffer.get();
    std::memcpy(buffer + m_end, bytes.data(), size_t(bytes.size()));

    // Scan the new bytes where they now lie; `kept` is where the bytes kept so far end (it stays
    // behind the scan only after an oversized message has been dropped).
    const char *data = buffer + m_end;
    qsizetype size = bytes.size();
    qsizetype kept = m_end;
    while (size > 0) {
        const auto *zero = static_cast<const char *>(std::memchr(data, 0, size_t(size)));
        const qsizetype len = zero ? qsizetype(zero - data) : size;

        if (m_discarding) {
            // Still inside an oversized message: its 0 byte ends the skipping.
            if (zero)
                m_discarding = false;
        } else if (kept - m_tailStart + len > m_limit) {
            // The message outgrew the limit: drop what we hold of it and skip to its end, or
            // end the stream here.
            kept = m_tailStart;
            ++m_discardedCount;
            if (m_overflow == Overflow::Stop) {
                m_overflowed = true;
                break;
            }
            if (!zero)
                m_discarding = true;
        } else {
            if (data != buffer + kept)
                std::memmove(buffer + kept, data, size_t(len));
            kept += len;
            if (zero) {
                m_ready.push_back(Span{m_tailStart, kept - m_tailStart});
                m_tailStart = ++kept; // past the 0 byte, which stays in the buffer unread
            }
        }

        if (!zero)
            break;
        data = zero + 1;
        size -= len + 1;
    }
    m_end = kept;
}

void Framer::trim()
{
    constexpr qsizetype Kept = 4096; // what a connection may hold on to between reads
    if (m_capacity <= Kept || hasMessage())
        return;
    const qsizetype tail = m_end - m_tailStart;
    std::unique_ptr<char[]> smaller;
    if (tail > 0) {
        smaller = std::make_unique_for_overwrite<char[]>(size_t(tail));
        std::memcpy(smaller.get(), m_buffer.get() + m_tailStart, size_t(tail));
    }
    m_buffer = std::move(smaller);
    m_capacity = tail;
    m_ready.clear();
    m_head = 0;
    m_tailStart = 0;
    m_end = tail;
}

void Framer::clear()
{
    m_buffer.reset();
    m_capacity = 0;
    m_tailStart = 0;
    m_end = 0;
    m_ready.clear();
    m_head = 0;
    m_discarding = false;
    m_overflowed = false;
}

} // namespace varrow::detail
