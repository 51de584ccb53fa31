#include "picturewindow.h"
#include "offerdialog.h"

#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QImageReader>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTemporaryDir>
#include <QVBoxLayout>

namespace quillet {

QImage PictureWindow::decode(const QString &path, QString *error)
{
    QImageReader reader(path);
    reader.setAllocationLimit(AllocationLimitMiB);
    reader.setAutoTransform(true);
    QImage image;
    if (!reader.canRead()) {
        *error = tr("The picture could not be read: it is in no format this program can show.");
        return image;
    }
    const QSize size = reader.size();
    if (!size.isValid())
        *error = tr("The picture could not be read: its size is unknown.");
    else if (size.width() > MaxSide || size.height() > MaxSide || qint64(size.width()) * size.height() > MaxPixels)
        *error = tr("The picture is too large to show (%1 x %2 pixels).").arg(size.width()).arg(size.height());
    else if (!reader.read(&image))
        *error = tr("The picture could not be read: %1").arg(reader.errorString());
    return image;
}

PictureWindow::PictureWindow(const QImage &image, const QString &path, const QString &name, QWidget *parent,
                             std::shared_ptr<QTemporaryDir> folder)
    : QWidget(parent, Qt::Window), m_pixmap(QPixmap::fromImage(image)), m_path(path), m_name(name),
      m_saveAs([](QWidget *parent, const QString &suggested) {
          return QFileDialog::getSaveFileName(parent, tr("Save Picture"), suggested);
      }),
      m_folder(std::move(folder))
{
    setObjectName(QStringLiteral("PictureWindow"));
    setWindowTitle(tr("Picture: %1").arg(name));
    picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("picture"));
    picture->setAlignment(Qt::AlignCenter);
    picture->setMinimumSize(1, 1);
    picture->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored); // the window decides, not the pixmap
    picture->setPixmap(m_pixmap); // until the window has a size to scale to
    picture->setAccessibleName(tr("Picture %1, %2 x %3 pixels").arg(name).arg(image.width()).arg(image.height()));
    cmdSaveAs = new QPushButton(tr("&Save As..."), this);
    cmdSaveAs->setObjectName(QStringLiteral("cmdSaveAs"));
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cmdSaveAs);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(picture, 1);
    layout->addLayout(buttons);
    connect(cmdSaveAs, &QPushButton::clicked, this, &PictureWindow::saveAs);
    // Big enough for a typical photo, never beyond the picture's own size.
    resize(qBound(200, image.width(), 800), qBound(150, image.height(), 600) + 40);
}

bool PictureWindow::saveAs()
{
    const QString target = m_saveAs(this, OfferDialog::suggestedPath(m_name));
    if (target.isEmpty())
        return false;
    // The save dialog has asked before replacing a file.
    if (QFile::exists(target))
        QFile::remove(target);
    if (QFile::copy(m_path, target))
        return true;
    QMessageBox::warning(this, windowTitle(), tr("The picture could not be saved as %1.").arg(target));
    return false;
}

void PictureWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    rescale();
}

void PictureWindow::rescale()
{
    const QSize room = picture->contentsRect().size();
    if (m_pixmap.isNull() || room.isEmpty())
        return;
    // Scaled down to fit, never up: a small picture keeps its pixels.
    const QPixmap shown = m_pixmap.width() <= room.width() && m_pixmap.height() <= room.height()
                              ? m_pixmap
                              : m_pixmap.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    picture->setPixmap(shown);
}

} // namespace quillet
