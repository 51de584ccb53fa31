// The window of a private chat's file transfers: one row per transfer with its name, a progress
// bar, bytes, rate and time left, and Cancel; once it has ended, the row says how, and for a file
// received, where it is, with a button that opens its folder.
#pragma once

#include "filetransfers.h"

#include <QWidget>

#include <functional>
#include <map>

class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace quillet {

class TransferWindow : public QWidget
{
    Q_OBJECT

public:
    // Opens a folder in the desktop's file manager (QDesktopServices by default; tests replace it).
    using OpenFolder = std::function<void(const QString &folder)>;

    explicit TransferWindow(QWidget *parent = nullptr);

    // Shows the progress and ends of `transfers` and sends its rows' Cancel there.
    void attach(FileTransfers *transfers);
    void addTransfer(FileTransfers::Direction direction, quint32 id, const QString &name, qint64 size);
    void setOpenFolder(OpenFolder openFolder) { m_openFolder = std::move(openFolder); }

    struct Row {
        QWidget *box;
        QLabel *name;
        QProgressBar *bar;
        QLabel *status;
        QPushButton *cancel;
        QPushButton *openFolder;
        QString folder;
    };
    const Row *row(FileTransfers::Direction direction, quint32 id) const;

signals:
    void cancelRequested(quillet::FileTransfers::Direction direction, quint32 id);

private:
    void onProgress(FileTransfers::Direction direction, quint32 id, qint64 done, qint64 total,
                    double bytesPerSecond, qint64 msecsLeft);
    void onFinished(FileTransfers::Direction direction, quint32 id, FileTransfers::Outcome outcome,
                    bool byPartner, const QString &path);

    QVBoxLayout *m_rows;
    std::map<std::pair<FileTransfers::Direction, quint32>, Row> m_rowsById;
    OpenFolder m_openFolder;
};

} // namespace quillet
