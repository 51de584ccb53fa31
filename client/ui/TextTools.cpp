#include "TextTools.h"

#include "FindBar.h"
#include "MessageBoxes.h"
#include "Services.h"

#include <QAction>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSaveFile>
#include <QStandardPaths>

#include <utility>

namespace quillet {

namespace {

// A file name from network text: no path separators or control characters.
QString fileName(QString stem)
{
    for (QChar &c : stem)
        if (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control)
            c = u'_';
    return stem + u' ' + QDate::currentDate().toString(Qt::ISODate) + QStringLiteral(".txt");
}

} // namespace

QString chooseSavePath(QWidget *parent, const QString &suggested)
{
    if (services().chooseSavePath)
        return services().chooseSavePath(parent, suggested);
    return QFileDialog::getSaveFileName(parent, TextTools::SaveTitle, suggested,
                                        QStringLiteral("Text files (*.txt);;All files (*)"));
}

QByteArray savedText(const QPlainTextEdit *view)
{
    // Plain text turns the document's paragraph and line separators into "\n" and a no-break
    // space into a blank; the message window's last line already ends with a line break.
    QString text = view->document()->toPlainText();
    if (!text.isEmpty() && !text.endsWith(u'\n'))
        text += u'\n';
    return text.toUtf8();
}

TextTools::TextTools(QPlainTextEdit *view, std::function<QString()> fileStem)
    : QObject(view), view_(view), findBar_(new FindBar(view)), fileStem_(std::move(fileStem))
{
    setObjectName(view->objectName() + QStringLiteral("Tools"));
    findAction = new QAction(QStringLiteral("&Find..."), this);
    findAction->setShortcut(QKeySequence::Find);
    saveAction = new QAction(QStringLiteral("Save Conversation &As..."), this);
    saveAction->setShortcut(QKeySequence::Save);
    // The keys work anywhere in the view's window (the room's entry line has the focus mostly).
    for (QAction *action : {findAction, saveAction}) {
        action->setShortcutContext(Qt::WindowShortcut);
        view->addAction(action);
    }
    connect(findAction, &QAction::triggered, findBar_, &FindBar::open);
    connect(saveAction, &QAction::triggered, this, &TextTools::saveAs);

    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        QMenu *menu = contextMenu(pos);
        menu->exec(view_->viewport()->mapToGlobal(pos));
        delete menu;
    });
}

TextTools *TextTools::attach(QPlainTextEdit *view, std::function<QString()> fileStem)
{
    return new TextTools(view, std::move(fileStem));
}

void TextTools::setBeforeReading(std::function<void()> bringUpToDate)
{
    findBar_->setBeforeReading(bringUpToDate);
    beforeReading_ = std::move(bringUpToDate);
}

QMenu *TextTools::contextMenu(const QPoint &viewportPos) const
{
    QMenu *menu = view_->createStandardContextMenu(viewportPos);
    menu->addSeparator();
    menu->addAction(findAction);
    menu->addAction(saveAction);
    return menu;
}

void TextTools::saveAs()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString path = chooseSavePath(view_->window(), QDir(folder).filePath(fileName(fileStem_())));
    if (path.isEmpty())
        return;
    if (QString error; !save(path, &error))
        messageBox(view_->window(), QStringLiteral("The conversation could not be saved in %1: %2")
                                        .arg(QDir::toNativeSeparators(path), error),
                   SaveTitle, BoxIcon::Exclamation);
}

bool TextTools::save(const QString &path, QString *error) const
{
    if (beforeReading_)
        beforeReading_();
    QSaveFile file(path);
    const bool ok = file.open(QIODevice::WriteOnly) && file.write(savedText(view_)) >= 0
                 && file.commit();
    if (!ok && error)
        *error = file.errorString();
    return ok;
}

} // namespace quillet
