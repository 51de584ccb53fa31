// A find bar for a text view (QPlainTextEdit), shown under it.
//
// open() shows the bar with the focus in its field. Typing finds the first match from the current
// one on; Enter (or F3, or Next) goes to the next match, Shift+Enter (Shift+F3, Previous) to the
// one before, both wrapping round at the ends. The match is selected in the view, every other
// match is highlighted, and the bar says which of how many it is. "Match case" makes the search
// case-sensitive. Esc (or the close button) hides the bar and drops the highlights. The view may
// keep growing while the bar is open: the highlights and the count follow the new text.
#pragma once

#include <QTextCursor>
#include <QTextDocument>
#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTimer;
class QToolButton;

namespace quillet {

class FindBar : public QWidget
{
    Q_OBJECT

public:
    // Takes the view's place in its layout: the view, and the bar (hidden) under it.
    explicit FindBar(QPlainTextEdit *view);

    QLineEdit *field;
    QToolButton *previous;
    QToolButton *next;
    QCheckBox *matchCase;
    QLabel *status;
    QToolButton *closer;

    // Shows the bar and puts the focus in its field, with its text selected.
    void open();
    // Hides the bar, drops the highlights and gives the focus back to the view.
    void dismiss();
    // Shown (by open) and not dismissed since; the view stays where the search put it meanwhile.
    bool isOpen() const { return open_; }

    // Called before the bar reads the view (see TextTools::setBeforeReading).
    void setBeforeReading(std::function<void()> bringUpToDate) { beforeReading_ = std::move(bringUpToDate); }

    // Moves to the next or previous match, wrapping round; false when there is none.
    bool findNext();
    bool findPrevious();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QTextDocument::FindFlags flags() const;
    bool find(bool backward, bool fromStartOfCurrent = false);
    void highlight();
    void showStatus();

    QPlainTextEdit *view_;
    std::function<void()> beforeReading_;
    QTimer *refresh_;          // the text changed: highlights and count again, once per burst
    QList<QTextCursor> matches_;
    QTextCursor current_;
    bool open_ = false;
};

} // namespace quillet
