#include "WindowDriver.h"

#include "Globals.h"
#include "frmAddress.h"
#include "frmMain.h"
#include "frmabout.h"

#include <QAction>
#include <QComboBox>
#include <QFont>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>

namespace quillet::test {

frmMain *startMainWindow()
{
    Globals::reset();
    return Window<frmMain>::load();
}

void discardClientWindows()
{
    discardWindows<frmabout, frmAddress, frmMain>();
}

void connectThroughDialog(frmMain *main, const Login &login)
{
    frmAddress *dialog = Window<frmAddress>::load();
    dialog->Text1->setText(login.user);
    dialog->Text2->setText(login.password);
    dialog->ComboAddress->setEditText(login.host);
    dialog->ComboPort->setEditText(login.port);
    // Pressed once the dialog runs modally inside Connect.
    QMetaObject::invokeMethod(dialog->cmdOK, &QPushButton::click, Qt::QueuedConnection);
    main->mnuFileConnect->trigger();
}

QStringList shownLines(const QPlainTextEdit *edit)
{
    QStringList lines;
    for (QTextBlock block = edit->document()->begin(); block.isValid(); block = block.next())
        lines.append(block.text());
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QList<Run> runsOfLine(const QPlainTextEdit *edit, int line)
{
    QList<Run> runs;
    const QTextBlock block = edit->document()->findBlockByNumber(line);
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextFragment fragment = it.fragment();
        if (!fragment.isValid())
            continue;
        const QTextCharFormat format = fragment.charFormat();
        runs.append(Run{fragment.text(), format.foreground().color(),
                        format.fontWeight() >= QFont::Bold, format.fontItalic()});
    }
    return runs;
}

} // namespace quillet::test
