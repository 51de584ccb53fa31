#include "ClientTestSupport.h"

#include "Globals.h"
#include "frmAddress.h"
#include "frmMain.h"
#include "frmabout.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>

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

void connectThroughDialog(frmMain *main, const QStringList &userPasswordHostPort)
{
    frmAddress *dialog = Window<frmAddress>::load();
    dialog->Text1->setText(userPasswordHostPort.value(0));
    dialog->Text2->setText(userPasswordHostPort.value(1));
    dialog->ComboAddress->setEditText(userPasswordHostPort.value(2));
    dialog->ComboPort->setEditText(userPasswordHostPort.value(3));
    // Pressed once the dialog runs modally inside Connect.
    QMetaObject::invokeMethod(dialog->cmdOK, &QPushButton::click, Qt::QueuedConnection);
    main->mnuFileConnect->trigger();
    if (main->isVisible())
        main->activateWindow(); // the dialog had the focus
}

void connectAsAnn(frmMain *main, quint16 port)
{
    connectThroughDialog(main, {"ann", "pw", "127.0.0.1", QString::number(port)});
}

QStringList shownLines(const QPlainTextEdit *edit)
{
    QStringList lines = edit->toPlainText().split(u'\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QStringList runsOfLine(const QPlainTextEdit *edit, int line)
{
    QStringList runs;
    const QTextBlock block = edit->document()->findBlockByNumber(line);
    for (auto it = block.begin(); !it.atEnd(); ++it) {
        const QTextCharFormat f = it.fragment().charFormat();
        runs << it.fragment().text() + ' ' + f.foreground().color().name()
                    + (f.fontWeight() >= QFont::Bold ? " B" : "") + (f.fontItalic() ? " I" : "");
    }
    return runs;
}

} // namespace quillet::test
