// The window of a picture received from the partner: the picture scaled to fit the window, and
// Save As. Decoding is bounded: the size the picture's header announces is checked before any
// pixel is decoded, and the decoder may allocate no more than a fixed amount of memory, so a
// hostile picture can neither exhaust memory nor be shown half-decoded.
#pragma once

#include <QImage>
#include <QWidget>

#include <functional>
#include <memory>

class QTemporaryDir;

class QLabel;
class QPushButton;

namespace quillet {

class PictureWindow : public QWidget
{
    Q_OBJECT

public:
    // Limits of a picture: bytes offered (larger offers are refused), each side, all pixels, and
    // what the decoder may allocate.
    static constexpr qint64 MaxPictureBytes = 64 * 1024 * 1024;
    static constexpr int MaxSide = 16384;
    static constexpr qint64 MaxPixels = 64 * 1024 * 1024;
    static constexpr int AllocationLimitMiB = 256;

    // The picture in the file, or a null image and `error` saying why it cannot be shown.
    static QImage decode(const QString &path, QString *error);

    // Asks where to save (the path, or "" when cancelled); QFileDialog by default.
    using SaveAs = std::function<QString(QWidget *parent, const QString &suggestedPath)>;

    // Shows the picture decoded from `path`; `name` is the name it was offered under. The window
    // keeps `folder` (where the file is) as long as it lives.
    PictureWindow(const QImage &picture, const QString &path, const QString &name, QWidget *parent = nullptr,
                  std::shared_ptr<QTemporaryDir> folder = {});
    void setSaveAs(SaveAs saveAs) { m_saveAs = std::move(saveAs); }
    // Copies the received file to a place the user chooses; false when that fails.
    bool saveAs();

    QLabel *picture;
    QPushButton *cmdSaveAs;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void rescale();

    QPixmap m_pixmap;
    QString m_path;
    QString m_name;
    SaveAs m_saveAs;
    std::shared_ptr<QTemporaryDir> m_folder;
};

} // namespace quillet
