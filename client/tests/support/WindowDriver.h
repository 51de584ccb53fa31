// Helpers for window tests: a fresh main window, logging in through the real login dialog, reading
// back what the message window shows, and discarding windows between test functions.
#pragma once

#include "WindowRegistry.h"

#include <QColor>
#include <QCoreApplication>
#include <QEvent>
#include <QList>
#include <QString>
#include <QStringList>

class QPlainTextEdit;

namespace quillet {
class frmMain;
}

namespace quillet::test {

// Resets Globals (a fresh program) and loads frmMain through the registry, not shown.
frmMain *startMainWindow();

// Deletes the listed windows at once if they are loaded, then every window already on its way out.
template<class... W>
void discardWindows()
{
    (delete Window<W>::get(), ...);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
// Deletes frmMain, frmAddress and frmabout.
void discardClientWindows();

struct Login
{
    QString user = QStringLiteral("ann");
    QString password = QStringLiteral("secret");
    QString host = QStringLiteral("127.0.0.1");
    QString port;
};

// Chooses Connect on `main` and answers the login dialog that it shows with `login` and OK.
// Returns when Connect has returned.
void connectThroughDialog(frmMain *main, const Login &login);

// One run of equally formatted text in the message window.
struct Run
{
    QString text;
    QColor colour;
    bool bold = false;
    bool italic = false;
};
// The message window's lines (blocks), the empty last line left out.
QStringList shownLines(const QPlainTextEdit *edit);
// The formatted runs of one line.
QList<Run> runsOfLine(const QPlainTextEdit *edit, int line);

} // namespace quillet::test
