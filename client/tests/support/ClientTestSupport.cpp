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
#include <QTimer>

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

void connectThroughDialog(frmMain *main, const QStringList &userPasswordHostPort,
                          const std::function<void(QWidget *dialog)> &beforeOK)
{
    frmAddress *dialog = Window<frmAddress>::load();
    dialog->Text1->setText(userPasswordHostPort.value(0));
    dialog->Text2->setText(userPasswordHostPort.value(1));
    dialog->ComboAddress->setEditText(userPasswordHostPort.value(2));
    dialog->ComboPort->setEditText(userPasswordHostPort.value(3));
    QTimer::singleShot(0, dialog, [dialog, beforeOK] { // once the dialog runs modally inside Connect
        if (beforeOK)
            beforeOK(dialog);
        dialog->cmdOK->click();
    });
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
