#include "transferwindow.h"
#include "transfertexts.h"

#include <QDesktopServices>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QUrl>
#include <QVBoxLayout>

namespace quillet {

namespace {
// Progress bars count in units small enough that any 64-bit size fits an int.
int permille(qint64 done, qint64 total)
{
    return total <= 0 ? 1000 : int(double(done) / double(total) * 1000.0);
}
} // namespace

TransferWindow::TransferWindow(QWidget *parent)
    : QWidget(parent, Qt::Window),
      m_openFolder([](const QString &folder) { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); })
{
    setObjectName(QStringLiteral("TransferWindow"));
    setWindowTitle(tr("File Transfers"));
    auto *content = new QWidget;
    m_rows = new QVBoxLayout(content);
    m_rows->addStretch();
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setWidget(content);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
    resize(460, 220);
}

void TransferWindow::attach(FileTransfers *transfers)
{
    connect(transfers, &FileTransfers::progress, this, &TransferWindow::onProgress);
    connect(transfers, &FileTransfers::finished, this, &TransferWindow::onFinished);
    connect(this, &TransferWindow::cancelRequested, transfers, &FileTransfers::cancel);
}

void TransferWindow::addTransfer(FileTransfers::Direction direction, quint32 id, const QString &name, qint64 size)
{
    const bool sending = direction == FileTransfers::Direction::Outgoing;
    Row row;
    row.box = new QWidget;
    row.name = new QLabel((sending ? tr("Sending %1") : tr("Receiving %1")).arg(name), row.box);
    row.name->setTextFormat(Qt::PlainText);
    row.bar = new QProgressBar(row.box);
    row.bar->setRange(0, 1000);
    row.bar->setValue(0);
    row.bar->setAccessibleName(tr("Progress of %1").arg(name));
    row.status = new QLabel(sending ? tr("Waiting for your partner to accept (%1)").arg(TransferTexts::size(size))
                                    : TransferTexts::progress(0, size, 0, -1),
                            row.box);
    row.status->setTextFormat(Qt::PlainText);
    row.status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    row.status->setWordWrap(true);
    row.cancel = new QPushButton(tr("Cancel"), row.box);
    row.cancel->setAccessibleName(tr("Cancel %1").arg(name));
    row.openFolder = new QPushButton(tr("Open Folder"), row.box);
    row.openFolder->hide();

    auto *grid = new QGridLayout(row.box);
    grid->addWidget(row.name, 0, 0, 1, 2);
    grid->addWidget(row.bar, 1, 0);
    grid->addWidget(row.cancel, 1, 1);
    grid->addWidget(row.openFolder, 1, 1);
    grid->addWidget(row.status, 2, 0, 1, 2);
    m_rows->insertWidget(m_rows->count() - 1, row.box);

    connect(row.cancel, &QPushButton::clicked, this, [this, direction, id] { emit cancelRequested(direction, id); });
    connect(row.openFolder, &QPushButton::clicked, this, [this, direction, id] {
        if (const Row *r = this->row(direction, id))
            m_openFolder(r->folder);
    });
    m_rowsById[{direction, id}] = row;
}

const TransferWindow::Row *TransferWindow::row(FileTransfers::Direction direction, quint32 id) const
{
    const auto it = m_rowsById.find({direction, id});
    return it == m_rowsById.end() ? nullptr : &it->second;
}

void TransferWindow::onProgress(FileTransfers::Direction direction, quint32 id, qint64 done, qint64 total,
                                double bytesPerSecond, qint64 msecsLeft)
{
    const auto it = m_rowsById.find({direction, id});
    if (it == m_rowsById.end())
        return;
    it->second.bar->setValue(permille(done, total));
    it->second.status->setText(TransferTexts::progress(done, total, bytesPerSecond, msecsLeft));
}

void TransferWindow::onFinished(FileTransfers::Direction direction, quint32 id, FileTransfers::Outcome outcome,
                                bool byPartner, const QString &path)
{
    const auto it = m_rowsById.find({direction, id});
    if (it == m_rowsById.end())
        return;
    Row &row = it->second;
    row.status->setText(TransferTexts::outcome(direction, outcome, byPartner, path));
    row.cancel->hide();
    const bool completed = outcome == FileTransfers::Outcome::Completed;
    if (completed)
        row.bar->setValue(1000);
    if (completed && direction == FileTransfers::Direction::Incoming) {
        row.folder = QFileInfo(path).absolutePath();
        row.openFolder->show();
    }
}

} // namespace quillet
