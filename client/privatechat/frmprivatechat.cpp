#include "frmprivatechat.h"

#include "Accessibility.h"
#include "Attention.h"
#include "Controls.h"
#include "Globals.h"
#include "MessageBoxes.h"
#include "WindowRegistry.h"
#include "frmMain.h"
#include "frmabout1.h"
#include "frmcanvas.h"
#include "frmchat.h"
#include "frmreqchat.h"
#include "protocol/serverprotocol.h"

#include <varrow/Socket.h>

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
#include <QTimer>
#include <QVBoxLayout>

namespace quillet {

namespace PP = PeerProtocol;

void connectPrivateChat(frmMain *main)
{
    QObject::connect(main->mnupchat, &QAction::triggered, main, [main] { mnupchat_Click(main); });
    QObject::connect(main, &frmMain::RequestTaken, main, &takeRelayedRequest);
}

void freePrivateChat()
{
    Globals::bPrivateChatActive = false;
    if (frmMain *main = Window<frmMain>::get())
        main->Socketmain->Send(ServerProtocol::freeNotice());
}

frmprivatechat *frmprivatechat::loadFresh()
{
    if (frmprivatechat *old = Window<frmprivatechat>::get(); old && old->ended_)
        old->close();
    return Window<frmprivatechat>::load();
}

frmprivatechat::frmprivatechat(QWidget *parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmprivatechat"));
    setWindowTitle(QStringLiteral("Private Chat"));

    Winsock = named(new PeerSocket(this), "Winsock");
    connect(Winsock, &PeerSocket::ConnectionRequest, this, &frmprivatechat::Winsock_ConnectionRequest);
    connect(Winsock, &PeerSocket::Connected, this, &frmprivatechat::Winsock_Connected);
    connect(Winsock, &PeerSocket::DataArrival, this, &frmprivatechat::Winsock_DataArrival);
    connect(Winsock, &PeerSocket::Closed, this, &frmprivatechat::Winsock_Closed);
    connect(Winsock, &PeerSocket::Error, this, &frmprivatechat::Winsock_Error);

    answerTimer_ = named(new QTimer(this), "answerTimer");
    answerTimer_->setSingleShot(true);
    connect(answerTimer_, &QTimer::timeout, this, &frmprivatechat::answerTimer_Timer);

    buildMenus();
    buildControls();
    resize(420, 400);
    attention_ = new AttentionRequest(this);

    Form_Load();
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
    connect(mnuclconnection, &QAction::triggered, this, &frmprivatechat::mnuclconnection_Click);
    connect(mnuopcanvas, &QAction::triggered, this, &frmprivatechat::mnuopcanvas_Click);
    connect(mnuabout, &QAction::triggered, this, &frmprivatechat::mnuabout_Click);
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

void frmprivatechat::Form_Load()
{
    showLabelValue(Label1, QStringLiteral("You"), Globals::sUserName);
    showLabelValue(Label2, QStringLiteral("Partner"), Globals::sPartnerName);
}

// --- Setting up the connection (called by the request dialogs) ---

bool frmprivatechat::listenOn(quint16 port)
{
    requester_ = true;
    Winsock->setLocalPort(port);
    return Winsock->Listen();
}

void frmprivatechat::awaitAnswer()
{
    answerTimer_->start(AnswerTimeoutMs);
}

void frmprivatechat::connectToRequester(const QString &address, quint16 port)
{
    requester_ = false;
    Winsock->setRemoteHost(address);
    Winsock->setRemotePort(port);
    Winsock->Connect();
}

void frmprivatechat::answer(const QString &reply, bool accepted)
{
    if (ended_)
        return;
    chatOn_ = accepted;
    refused_ = !accepted;
    if (Winsock->State() != PeerSocket::SocketState::Connected)
        pendingAnswer_ = reply; // goes out in Winsock_Connected
    else
        sendAnswer(reply);
}

void frmprivatechat::sendAnswer(const QString &reply)
{
    send(reply);
    if (refused_) {
        endChat();
        close();
    }
}

// --- Ending ---

void frmprivatechat::endChat()
{
    if (ended_)
        return;
    ended_ = true;
    answerTimer_->stop();
    pendingAnswer_.clear();
    Winsock->Close();
    freePrivateChat();
}

void frmprivatechat::showStatus(const QString &text)
{
    Label3->setText(StatusCaption);
    Text3->setText(text);
    Text3->setCursorPosition(0);
}

void frmprivatechat::closeEvent(QCloseEvent *event)
{
    endChat();
    Window<frmreqchat>::unload();
    Window<frmchat>::unload();
    event->accept();
}

void frmprivatechat::mnuclconnection_Click()
{
    endChat();
    close();
}

void frmprivatechat::answerTimer_Timer()
{
    if (chatOn_ || ended_)
        return;
    endChat();
    close();
    messageBox(Window<frmMain>::get(), UnansweredText, QString(), BoxIcon::Information);
}

// --- Other menus ---

void frmprivatechat::mnuopcanvas_Click()
{
    Window<frmcanvas>::show();
}

void frmprivatechat::mnuabout_Click()
{
    Window<frmabout1>::show();
    hide();
}

// --- The peer connection ---

void frmprivatechat::Winsock_ConnectionRequest(qint32 requestID)
{
    // Whoever connects is the partner: the listening ends with the accepted connection.
    Winsock->Close();
    Winsock->Accept(requestID);
}

void frmprivatechat::Winsock_Connected()
{
    if (!pendingAnswer_.isEmpty())
        sendAnswer(std::exchange(pendingAnswer_, QString()));
}

void frmprivatechat::Winsock_DataArrival(qint64 bytesTotal)
{
    QString data;
    Winsock->GetData(data, bytesTotal);
    for (const QByteArray &bytes : framer_.feed(data.toLatin1())) {
        handle(PP::classify(PP::decode(bytes)));
        if (ended_)
            break;
    }
}

void frmprivatechat::handle(const PP::Message &message)
{
    switch (message.kind) {
    case PP::Kind::Close:
        endChat();
        close();
        break;
    case PP::Kind::Accept:
        if (!requester_ || chatOn_)
            break;
        chatOn_ = true;
        answerTimer_->stop();
        show();
        raise();
        activateWindow();
        break;
    case PP::Kind::Refuse: {
        if (!requester_ || chatOn_)
            break;
        answerTimer_->stop();
        QString text = RefusedText;
        if (!message.reason.trimmed().isEmpty())
            text += u'\n' + message.reason;
        messageBox(this, text, RefusedTitle, BoxIcon::Critical);
        endChat();
        close();
        break;
    }
    case PP::Kind::Character:
        appendReceived(message.character);
        attention_->arrived();
        break;
    case PP::Kind::Delete: {
        // The text is only ever appended to at its end, so its last characters are removed there.
        QTextCursor end(Txtrecv->document());
        end.movePosition(QTextCursor::End);
        for (int i = 0; i < message.count && !end.atStart(); ++i)
            end.deletePreviousChar();
        break;
    }
    case PP::Kind::Ignored:
        break;
    }
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
}

void frmprivatechat::Winsock_Closed()
{
    if (!chatOn_) {
        // The request is over without an answer (a refusal has gone out already, if any).
        const bool tell = requester_;
        endChat();
        close();
        if (tell)
            messageBox(Window<frmMain>::get(), UnansweredText, QString(), BoxIcon::Information);
        return;
    }
    showStatus(Label2->text() + PartnerClosedText);
    endChat();
}

void frmprivatechat::Winsock_Error(int, const QString &description)
{
    const bool tell = !refused_; // after a refusal the user expects nothing more
    endChat();
    if (chatOn_)
        showStatus(ConnectionErrorText + description);
    else
        close(); // still hidden for its request
    if (tell)
        messageBox(chatOn_ ? static_cast<QWidget *>(this) : Window<frmMain>::get(), description);
}

void frmprivatechat::send(const QString &message)
{
    if (message.isEmpty())
        return;
    Winsock->SendData(QString::fromLatin1(PP::frame(message)));
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
    if (Winsock->State() == PeerSocket::SocketState::Connected) {
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
            send(PP::keystroke(13));
        else if (key->key() == Qt::Key_Backspace)
            send(PP::keystroke(8));
        else if (key->key() != Qt::Key_Delete)
            for (const QChar c : key->text())
                send(PP::keystroke(c.unicode())); // nothing for a 0 code
    }
    return QMainWindow::eventFilter(watched, event); // Txtsend handles the key as usual
}

} // namespace quillet
