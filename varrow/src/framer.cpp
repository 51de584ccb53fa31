#include "framer.h"

#include <cstring>
#include <utility>

namespace varrow::detail {

void Framer::feed(QByteArrayView bytes)
{
    const char *data = bytes.data();
    qsizetype size = bytes.size();

    while (size > 0 && !m_overflowed) {
        const auto *zero = static_cast<const char *>(std::memchr(data, 0, size_t(size)));
        const qsizetype len = zero ? qsizetype(zero - data) : size;

        if (m_discarding) {
            // Still inside an oversized message: its 0 byte ends the skipping.
            if (zero)
                m_discarding = false;
        } else if (m_tail.size() + len > m_limit) {
            // The message outgrew the limit: drop what we hold of it and skip to its end, or
            // end the stream here.
            m_tail = QByteArray();
            ++m_discardedCount;
            if (m_overflow == Overflow::Stop) {
                m_overflowed = true;
                break;
            }
            if (!zero)
                m_discarding = true;
        } else if (zero && m_tail.isEmpty()) {
            // The common case, a whole message inside this chunk: one copy at its exact size.
            m_ready.emplace_back(data, len);
        } else {
            m_tail.append(data, len);
            if (zero) {
                m_ready.push_back(std::exchange(m_tail, QByteArray()));
            }
        }

        if (!zero)
            break;
        data = zero + 1;
        size -= len + 1;
    }
}

QByteArray Framer::takeMessage()
{
    Q_ASSERT(!m_ready.empty());
    QByteArray message = std::move(m_ready.front());
    m_ready.pop_front();
    return message;
}

void Framer::clear()
{
    m_tail = QByteArray();
    m_ready.clear();
    m_discarding = false;
    m_overflowed = false;
}

} // namespace varrow::detail
