#include "FindBar.h"

#include "Accessibility.h"
#include "Controls.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>

#include <functional>

namespace quillet {

namespace {

const QColor MatchColour(255, 239, 153);   // every match
const QColor CurrentColour(255, 150, 50);  // the one selected

QToolButton *toolButton(const char *name, const QString &text, const QString &tip, QWidget *parent)
{
    auto *b = named(new QToolButton(parent), name);
    b->setText(text);
    b->setToolTip(tip);
    b->setAutoRaise(true);
    return b;
}

} // namespace

FindBar::FindBar(QPlainTextEdit *view)
    : QWidget(view->parentWidget()), view_(view)
{
    setObjectName(view->objectName() + QStringLiteral("Find"));
    QLabel *label = plainLabel("findLabel", QStringLiteral("Find:"), this);
    field = named(new QLineEdit(this), "findText");
    field->setClearButtonEnabled(true);
    label->setBuddy(field);
    previous = toolButton("findPrevious", QStringLiteral("Previous"),
                          QStringLiteral("Previous match (Shift+Enter)"), this);
    next = toolButton("findNext", QStringLiteral("Next"), QStringLiteral("Next match (Enter)"), this);
    matchCase = named(new QCheckBox(QStringLiteral("Match case"), this), "findMatchCase");
    status = plainLabel("findStatus", QString(), this);
    closer = toolButton("findClose", QStringLiteral("\u00d7"), QStringLiteral("Close (Esc)"), this);
    closer->setAccessibleName(QStringLiteral("Close the find bar"));
    showStatus();

    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->addWidget(label);
    row->addWidget(field, 1);
    row->addWidget(previous);
    row->addWidget(next);
    row->addWidget(matchCase);
    row->addWidget(status);
    row->addWidget(closer);
    hide();

    // The view's place in its layout goes to a column of the view and the bar. A view named by a
    // label beside it (its buddy) keeps that name: the label is no sibling of it any more.
    const QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(view);
    if (view->accessibleName().isEmpty() && accessible)
        view->setAccessibleName(accessible->text(QAccessible::Name));
    setAccessibleName(QStringLiteral("Find in ") + view->accessibleName());
    if (QWidget *parent = view->parentWidget(); parent && parent->layout()) {
        auto *column = new QWidget(parent);
        auto *stack = new QVBoxLayout(column);
        stack->setContentsMargins(0, 0, 0, 0);
        if (QLayoutItem *old = parent->layout()->replaceWidget(view, column)) {
            delete old; // the layout's item for the view, handed back to us
            stack->addWidget(view);
            stack->addWidget(this);
        } else {
            delete column;
        }
    }

    // In the tab order the bar's controls follow the view.
    QWidget *before = view;
    for (QWidget *control : std::initializer_list<QWidget *>{field, previous, next, matchCase, closer}) {
        setTabOrder(before, control);
        before = control;
    }

    refresh_ = new QTimer(this);
    refresh_->setSingleShot(true);
    refresh_->setInterval(50);
    connect(refresh_, &QTimer::timeout, this, &FindBar::highlight);
    connect(view_->document(), &QTextDocument::contentsChanged, this, [this] {
        if (open_ && !refresh_->isActive())
            refresh_->start();
    });

    const auto research = [this] {
        find(false, true);
        highlight();
    };
    connect(field, &QLineEdit::textChanged, this, research);
    connect(matchCase, &QCheckBox::toggled, this, research);
    connect(next, &QToolButton::clicked, this, &FindBar::findNext);
    connect(previous, &QToolButton::clicked, this, &FindBar::findPrevious);
    connect(closer, &QToolButton::clicked, this, &FindBar::dismiss);
    const auto shortcut = [this](const QKeySequence &keys, const std::function<void()> &action) {
        auto *s = new QShortcut(keys, this);
        s->setContext(Qt::WidgetWithChildrenShortcut);
        connect(s, &QShortcut::activated, this, action);
    };
    shortcut(QKeySequence(Qt::Key_Escape), [this] { dismiss(); });
    shortcut(QKeySequence::FindNext, [this] { findNext(); });
    shortcut(QKeySequence::FindPrevious, [this] { findPrevious(); });
    field->installEventFilter(this);
}

void FindBar::open()
{
    open_ = true;
    show();
    field->setFocus(Qt::ShortcutFocusReason);
    field->selectAll();
    if (!field->text().isEmpty()) {
        find(false, true);
        highlight();
    }
}

void FindBar::dismiss()
{
    open_ = false;
    refresh_->stop();
    matches_.clear();
    view_->setExtraSelections({});
    const bool hadFocus = isAncestorOf(QApplication::focusWidget());
    hide();
    if (hadFocus)
        view_->setFocus(Qt::OtherFocusReason);
}

bool FindBar::findNext()
{
    const bool found = find(false);
    highlight();
    return found;
}

bool FindBar::findPrevious()
{
    const bool found = find(true);
    highlight();
    return found;
}

bool FindBar::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == field && event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ShiftModifier)
                findPrevious();
            else
                findNext();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

QTextDocument::FindFlags FindBar::flags() const
{
    QTextDocument::FindFlags f;
    if (matchCase->isChecked())
        f |= QTextDocument::FindCaseSensitively;
    return f;
}

// From the current match (or the view's caret when there is none) to the next match in that
// direction, round the end if need be. fromStartOfCurrent: the current match itself may be found
// again (the search text grew or the case option changed).
bool FindBar::find(bool backward, bool fromStartOfCurrent)
{
    if (beforeReading_)
        beforeReading_();
    const QString text = field->text();
    if (text.isEmpty()) {
        current_ = QTextCursor();
        return false;
    }
    QTextDocument *document = view_->document();
    QTextCursor from = current_.isNull() ? view_->textCursor() : current_;
    if (fromStartOfCurrent)
        from.setPosition(from.selectionStart());
    const QTextDocument::FindFlags f = flags() | (backward ? QTextDocument::FindBackward
                                                           : QTextDocument::FindFlags());
    QTextCursor found = document->find(text, from, f);
    if (found.isNull()) {
        QTextCursor edge(document);
        edge.movePosition(backward ? QTextCursor::End : QTextCursor::Start);
        found = document->find(text, edge, f);
    }
    current_ = found;
    if (found.isNull())
        return false;
    view_->setTextCursor(found); // selected, and brought into view
    return true;
}

// Every match highlighted, the current one in its own colour; the count in the status.
void FindBar::highlight()
{
    if (beforeReading_)
        beforeReading_();
    matches_.clear();
    QList<QTextEdit::ExtraSelection> selections;
    const QString text = field->text();
    if (open_ && !text.isEmpty()) {
        QTextDocument *document = view_->document();
        const QTextDocument::FindFlags f = flags();
        for (QTextCursor c = document->find(text, 0, f); !c.isNull(); c = document->find(text, c, f)) {
            matches_ << c;
            QTextEdit::ExtraSelection selection;
            selection.cursor = c;
            selection.format.setBackground(c == current_ ? CurrentColour : MatchColour);
            selections << selection;
        }
    }
    view_->setExtraSelections(selections);
    showStatus();
}

void FindBar::showStatus()
{
    QString text;
    if (!field->text().isEmpty()) {
        const qsizetype at = matches_.indexOf(current_);
        text = matches_.isEmpty() ? QStringLiteral("No matches")
             : at < 0            ? QStringLiteral("%1 matches").arg(matches_.size())
                                 : QStringLiteral("%1 of %2").arg(at + 1).arg(matches_.size());
    }
    showLabelValue(status, QStringLiteral("Matches"), text);
}

} // namespace quillet
