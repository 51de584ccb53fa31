// The texts the transfer windows show: sizes, rates, times left and how a transfer ended.
#pragma once

#include "filetransfers.h"

#include <QString>

namespace quillet::TransferTexts {

QString size(qint64 bytes);                 // "512 bytes", "1.5 KiB", "4.0 GiB"
QString progress(qint64 done, qint64 total, double bytesPerSecond, qint64 msecsLeft);
QString timeLeft(qint64 msecs);             // "8 s", "2 min 5 s", "1 h 3 min"
QString outcome(FileTransfers::Direction direction, FileTransfers::Outcome outcome, bool byPartner,
                const QString &path);

} // namespace quillet::TransferTexts
