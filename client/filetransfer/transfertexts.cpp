#include "transfertexts.h"

#include <QCoreApplication>
#include <QLocale>

namespace quillet::TransferTexts {

namespace {
QString tr(const char *text)
{
    return QCoreApplication::translate("TransferTexts", text);
}
} // namespace

QString size(qint64 bytes)
{
    if (bytes < 1024)
        return bytes == 1 ? tr("1 byte") : tr("%1 bytes").arg(bytes);
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeIecFormat);
}

QString timeLeft(qint64 msecs)
{
    const qint64 s = (msecs + 999) / 1000;
    if (s < 60)
        return tr("%1 s").arg(s);
    if (s < 3600)
        return tr("%1 min %2 s").arg(s / 60).arg(s % 60);
    return tr("%1 h %2 min").arg(s / 3600).arg(s % 3600 / 60);
}

QString progress(qint64 done, qint64 total, double bytesPerSecond, qint64 msecsLeft)
{
    QString text = tr("%1 of %2").arg(size(done), size(total));
    if (bytesPerSecond > 0)
        text += tr(", %1/s").arg(size(qint64(bytesPerSecond)));
    if (msecsLeft >= 0 && done < total)
        text += tr(", %1 left").arg(timeLeft(msecsLeft));
    return text;
}

QString outcome(FileTransfers::Direction direction, FileTransfers::Outcome outcome, bool byPartner,
                const QString &path)
{
    using O = FileTransfers::Outcome;
    const bool sending = direction == FileTransfers::Direction::Outgoing;
    switch (outcome) {
    case O::Completed:
        return sending ? tr("Sent.") : tr("Saved as %1").arg(path);
    case O::Refused:
        return sending ? tr("Your partner refused the file.") : tr("Refused.");
    case O::Cancelled:
        return byPartner ? tr("Your partner cancelled the transfer.") : tr("Cancelled.");
    case O::ChatClosed:
        return tr("The private chat ended before the transfer did.");
    case O::ChecksumFailed:
        return tr("The data received did not match the file sent (SHA-256); nothing was saved.");
    case O::SizeMismatch:
        return tr("More or less data arrived than was offered; nothing was saved.");
    case O::ProtocolError:
        return tr("The transfer got out of step with your partner's program and was stopped.");
    case O::ReadFailed:
        return sending ? tr("The file could not be read to the end.") : tr("Your partner could not read the file.");
    case O::WriteFailed:
        return sending && byPartner ? tr("Your partner's program could not save the file.")
                                    : tr("The file could not be saved (the disk may be full).");
    case O::TargetExists:
        return tr("%1 appeared meanwhile and was not replaced; nothing was saved.").arg(path);
    }
    return {};
}

} // namespace quillet::TransferTexts
