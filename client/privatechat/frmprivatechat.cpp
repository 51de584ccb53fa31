#include "frmprivatechat.h"

#include "Accessibility.h"
#include "Attention.h"
#include "Controls.h"
#include "WindowRegistry.h"
#include "frmabout1.h"
#include "frmcanvas.h"
#include "protocol/peerprotocol.h"

#include <QAction>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QVBoxLayout>

namespace quillet {

namespace PP = PeerProtocol;

frmprivatechat::frmprivatechat(QWidget *parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmprivatechat"));
    setWindowTitle(QStringLiteral("Private Chat"));

    buildMenus();
    buildControls();
    resize(420, 400);
    attention_ = new AttentionRequest(this);
}

void frmprivatechat::buildMenus()
{
    mnuconnection = named(menuBar()->addMenu(QStringLiteral("&Connection")), "mnuconnection");
    mnuclconnection = menuItem(mnuconnection, "mnuclconnection", QStringLiteral("Close Connection"));
    mnucanvas = named(menuBar()->addMenu(QStringLiteral("Can&vas")), "mnucanvas");
    mnuopcanvas = menuItem(mnucanvas, "mnuopcanvas", QStringLiteral("Open Canvas"));
    mnuclcanvas = menuItem(mnucanvas, "mnuclcanvas", QStringLiteral("Close Canvas"));
    mnusend = named(menuBar()->addMenu(QStringLiteral("&Send")), "mnusend");
    sendfile = menuItem(mnusend, "sendfile", QStringLiteral("Send File"));
    mnusendpicture = menuItem(mnusend, "mnusendpicture", QStringLiteral("Send Picture"));
    help = named(menuBar()->addMenu(QStringLiteral("&Help")), "help");
    mnuabout = menuItem(help, "mnuabout", QStringLiteral("About"));

    // "Close Canvas", "Send File" and "Send Picture" have no handlers: they do nothing.
    connect(mnuclconnection, &QAction::triggered, this, &QWidget::close);
    connect(mnuopcanvas, &QAction::triggered, this, [this] { Window<frmcanvas>::show()->showPartner(partner_); });
    connect(mnuabout, &QAction::triggered, this, [this] {
        Window<frmabout1>::load()->setOwner(this); // About takes this window's place until it closes
        Window<frmabout1>::show();
        hide();
    });
}

void frmprivatechat::buildControls()
{
    auto *central = new QWidget(this);
    setCentralWidget(central);
    const QFont boxFont(QStringLiteral("MS Sans Serif"));

    Label2 = plainLabel("Label2", QStringLiteral("None"), central);
    Txtrecv = named(new QPlainTextEdit(central), "Txtrecv");
    Txtrecv->setReadOnly(true);
    Txtrecv->setUndoRedoEnabled(false);
    Txtrecv->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Txtrecv->setFont(boxFont);
    Txtrecv->setAccessibleName(QStringLiteral("Partner's text"));
    Label1 = plainLabel("Label1", QStringLiteral("None"), central);
    Txtsend = named(new QPlainTextEdit(central), "Txtsend");
    Txtsend->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Txtsend->setFont(boxFont);
    Txtsend->installEventFilter(this);
    Txtsend->setAccessibleName(QStringLiteral("Your text"));
    Txtsend->setAccessibleDescription(QStringLiteral("every key goes to the partner as it is typed"));
    Label3 = plainLabel("Label3", QString(), central);
    Text3 = named(new QLineEdit(central), "Text3");
    Text3->setReadOnly(true);
    Text3->setFocusPolicy(Qt::NoFocus);
    Label3->setAccessibleName(QStringLiteral("Status"));
    Text3->setAccessibleName(QStringLiteral("Status"));

    auto *column = new QVBoxLayout(central);
    column->addWidget(Label2);
    column->addWidget(Txtrecv, 1);
    column->addWidget(Label1);
    column->addWidget(Txtsend, 1);
    auto *status = new QHBoxLayout;
    status->addWidget(Label3);
    status->addWidget(Text3, 1);
    column->addLayout(status);

    Txtsend->setFocus();
}

void frmprivatechat::showNames(const QString &own, const QString &partner)
{
    partner_ = partner;
    showLabelValue(Label1, QStringLiteral("You"), own);
    showLabelValue(Label2, QStringLiteral("Partner"), partner);
}

void frmprivatechat::showStatus(const QString &text)
{
    Label3->setText(StatusCaption);
    Text3->setText(text);
    Text3->setCursorPosition(0);
}

void frmprivatechat::closeEvent(QCloseEvent *event)
{
    emit closing();
    event->accept();
}

void frmprivatechat::deleteReceived(int count)
{
    // The text is only ever appended to at its end, so its last characters are removed there.
    QTextCursor end(Txtrecv->document());
    end.movePosition(QTextCursor::End);
    for (int i = 0; i < count && !end.atStart(); ++i)
        end.deletePreviousChar();
}

void frmprivatechat::appendReceived(QChar character)
{
    // The keyboard focus stays where the user has it: the partner's typing never takes it away.
    QTextCursor caret = Txtrecv->textCursor();
    const bool newLine = character == u'\n' || character == u'\r';
    // One edit: the line is laid out once, not measured again for every cursor move in it.
    caret.beginEditBlock();
    caret.movePosition(QTextCursor::End);
    caret.insertText(newLine ? QStringLiteral("\n") : QString(character));
    caret.endEditBlock();
    Txtrecv->setTextCursor(caret);
    Txtrecv->ensureCursorVisible();
    attention_->arrived();
}

bool frmprivatechat::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != Txtsend || event->type() != QEvent::KeyPress)
        return QMainWindow::eventFilter(watched, event);
    const auto *key = static_cast<const QKeyEvent *>(event);
    // Tab is a character for the partner; Ctrl+Tab and Ctrl+Shift+Tab leave the typing box (as in
    // any text box that takes Tab), and go nowhere else.
    if ((key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab)
        && (key->modifiers() & Qt::ControlModifier)) {
        focusNextPrevChild(key->key() == Qt::Key_Tab && !(key->modifiers() & Qt::ShiftModifier));
        return true;
    }
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
        emit typed(PP::keystroke(13));
    else if (key->key() == Qt::Key_Backspace)
        emit typed(PP::keystroke(8));
    else if (key->key() != Qt::Key_Delete)
        for (const QChar c : key->text())
            emit typed(PP::keystroke(c.unicode())); // nothing goes out for a 0 code
    return QMainWindow::eventFilter(watched, event); // Txtsend handles the key as usual
}

} // namespace quillet
