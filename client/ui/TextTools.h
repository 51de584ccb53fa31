// Find and save for a text view that shows a conversation.
//
// TextTools::attach() gives a QPlainTextEdit a find bar (FindBar, under it) and two actions, also
// offered in its context menu: "Find..." (Ctrl+F) opens the bar, "Save Conversation As..." (Ctrl+S)
// asks where to save through the standard save dialog and writes the text there: plain UTF-8, one
// line per line shown, names and notices included. Nothing is saved unless the user asks.
//
// The dialog is reached through chooseSavePath() (services().chooseSavePath), which tests replace to
// give a path instead.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

class QAction;
class QMenu;
class QPlainTextEdit;
class QPoint;
class QWidget;

namespace quillet {

class FindBar;

// Asks the user for a file to save to, offering `suggested` (a full path); an empty string when
// the user cancels. The save dialog, or services().chooseSavePath.
QString chooseSavePath(QWidget *parent, const QString &suggested);

// The view's text as saved: its lines, each ended by "\n", in UTF-8.
QByteArray savedText(const QPlainTextEdit *view);

class TextTools : public QObject
{
    Q_OBJECT

public:
    static inline const QString SaveTitle = QStringLiteral("Save Conversation");

    // Attaches find and save to `view` (the TextTools lives as long as it). `fileStem` gives the
    // start of the file name offered, as the dialog opens ("Quillet room"); the date and ".txt"
    // follow.
    static TextTools *attach(QPlainTextEdit *view, std::function<QString()> fileStem);

    FindBar *findBar() const { return findBar_; }
    QAction *findAction;
    QAction *saveAction;

    // Called before find or save read the view: a view whose text comes in at the end of a turn
    // of the event loop puts in what waits.
    void setBeforeReading(std::function<void()> bringUpToDate);

    // The view's context menu: the usual entries, then Find and Save. The caller deletes it.
    QMenu *contextMenu(const QPoint &viewportPos) const;

    // Asks for a path (chooseSavePath) and saves there; a message box tells why it could not.
    void saveAs();
    // Writes the view's text to `path`, replacing the file as a whole; false with `error` set if
    // that failed.
    bool save(const QString &path, QString *error = nullptr) const;

private:
    TextTools(QPlainTextEdit *view, std::function<QString()> fileStem);

    QPlainTextEdit *view_;
    FindBar *findBar_;
    std::function<QString()> fileStem_;
    std::function<void()> beforeReading_;
};

} // namespace quillet
