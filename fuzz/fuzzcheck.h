// Shared by the fuzz targets: a check that stays on in every build (a failed one aborts, which
// libFuzzer reports as a crash and keeps the input), and small helpers over the input bytes.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace quillet::fuzz {

// The pieces between 0 bytes, as the server connection delivers them: one text per piece, each
// byte one character. A final piece without its 0 byte counts too.
inline QList<QString> latin1Pieces(const uint8_t *data, size_t size)
{
    QList<QString> pieces;
    for (const QByteArray &piece : QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size)).split('\0'))
        pieces.append(QString::fromLatin1(piece));
    return pieces;
}

} // namespace quillet::fuzz
