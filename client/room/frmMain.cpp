#include "frmMain.h"

#include "AppIcon.h"
#include "Attention.h"
#include "BusyMarks.h"
#include "Controls.h"
#include "FindBar.h"
#include "Globals.h"
#include "MessageBoxes.h"
#include "Services.h"
#include "TextTools.h"
#include "WindowRegistry.h"
#include "frmAddress.h"
#include "frmabout.h"
#include "protocol/serverprotocol.h"

#include <varrow/Socket.h>

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QToolButton>

#include <array>
#include <utility>

namespace quillet {

namespace SP = ServerProtocol;

namespace {

// The character formats of the message window's runs: text in black or (notices) grey, each bold
// and/or italic, and the blue name. A line ends with a line break in plain black.
enum RunFormat : int { Text = 0, Bold = 1, Italic = 2, Notice = 4, Name = 8, LineEnd = Text };

const QTextCharFormat &runFormat(int format)
{
    static const std::array<QTextCharFormat, Name + 1> formats = [] {
        std::array<QTextCharFormat, Name + 1> made;
        for (int f = 0; f <= Name; ++f) {
            made[f].setForeground(f == Name ? frmMain::NameColour
                                  : f & Notice ? frmMain::NoticeColour
                                               : frmMain::TextColour);
            made[f].setFontWeight(f != Name && (f & Bold) ? QFont::Bold : QFont::Normal);
            made[f].setFontItalic(f != Name && (f & Italic));
        }
        return made;
    }();
    return formats[size_t(format)];
}

} // namespace

QStringList frmMain::emotions()
{
    return {QStringLiteral("Agree"),  QStringLiteral("Apologize"), QStringLiteral("Applaud"),
            QStringLiteral("Beam"),   QStringLiteral("Beg"),       QStringLiteral("Blush"),
            QStringLiteral("Bow"),    QStringLiteral("Cheer"),     QStringLiteral("Clap"),
            QStringLiteral("Disagree"), QStringLiteral("Faint"),   QStringLiteral("Flirt"),
            QStringLiteral("Grin"),   QStringLiteral("Grovel"),    QStringLiteral("Hug"),
            QStringLiteral("Kiss"),   QStringLiteral("Laugh"),     QStringLiteral("Listen"),
            QStringLiteral("Melt"),   QStringLiteral("Misgrin"),   QStringLiteral("Nudge"),
            QStringLiteral("Nod"),    QStringLiteral("Sit"),       QStringLiteral("Smile"),
            QStringLiteral("Stand"),  QStringLiteral("Wave!")};
}

frmMain::frmMain(QWidget *parent)
    : QMainWindow(parent)
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QString(ProgramName));
    setWindowIcon(programIcon());

    Socketmain = named(new varrow::Socket(this), "Socketmain");
    connect(Socketmain, &varrow::Socket::Connnect, this, &frmMain::Socketmain_Connnect);
    connect(Socketmain, &varrow::Socket::DataArrival, this, &frmMain::Socketmain_DataArrival);
    connect(Socketmain, &varrow::Socket::Disconnected, this, &frmMain::Socketmain_Disconnected);

    buildMenus();
    buildControls();
    resize(600, 440);
    attention_ = new AttentionRequest(this);

    Form_Load();
}

void frmMain::buildMenus()
{
    mnuFile = named(menuBar()->addMenu(QStringLiteral("&Connection")), "mnuFile");
    mnuFileConnect = menuItem(mnuFile, "mnuFileConnect", QStringLiteral("C&onnect"));
    mnuFileDisconnect = menuItem(mnuFile, "mnuFileDisconnect", QStringLiteral("&Disconnect"));
    mnuFileDisconnect->setEnabled(false);
    mnuFileSep1 = named(mnuFile->addSeparator(), "mnuFileSep1");
    mnuFileExit = menuItem(mnuFile, "mnuFileExit", QStringLiteral("E&xit"));

    mnuOptions = named(menuBar()->addMenu(QStringLiteral("&Status")), "mnuOptions");
    mnufree = menuItem(mnuOptions, "mnufree", QStringLiteral("&Free"));
    mnuOptPrefs = menuItem(mnuOptions, "mnuOptPrefs", QStringLiteral("&Busy"));

    mnuuser = named(menuBar()->addMenu(QStringLiteral("&User")), "mnuuser");
    mnupchat = menuItem(mnuuser, "mnupchat", QStringLiteral("&Private Chat"));

    mnuabout = named(menuBar()->addMenu(QStringLiteral("&Help")), "mnuabout");
    mnuhelp = menuItem(mnuabout, "mnuhelp", QStringLiteral("&About"));

    connect(mnuFileConnect, &QAction::triggered, this, &frmMain::mnuFileConnect_Click);
    connect(mnuFileDisconnect, &QAction::triggered, this, &frmMain::mnuFileDisconnect_Click);
    connect(mnuFileExit, &QAction::triggered, this, &frmMain::mnuFileExit_Click);
    connect(mnuhelp, &QAction::triggered, this, &frmMain::mnuhelp_Click);
}

void frmMain::buildControls()
{
    auto *central = new QWidget(this);
    setCentralWidget(central);

    Label1 = plainLabel("Label1", QStringLiteral("User : None"), central);
    Label2 = plainLabel("Label2", QStringLiteral("Message Window"), central);
    Label3 = plainLabel("Label3", QStringLiteral("Online Users"), central);

    txtrx = named(new QPlainTextEdit(central), "txtrx");
    txtrx->setToolTip(QStringLiteral("Main Chat Window"));
    txtrx->setReadOnly(true);
    txtrx->setUndoRedoEnabled(false); // text is only ever appended; no undo history to grow
    // White paper and black ink whatever the desktop theme; every insertion sets its own colour.
    QPalette paper = txtrx->palette();
    paper.setColor(QPalette::Base, Qt::white);
    paper.setColor(QPalette::Text, Qt::black);
    paper.setColor(QPalette::Window, Qt::white);
    txtrx->setPalette(paper);

    lstusers = named(new QListWidget(central), "lstusers");
    // The headings name the boxes under them for assistive technology (no access keys: the
    // captions stay as they are; Tab reaches every box).
    Label2->setBuddy(txtrx);
    Label3->setBuddy(lstusers);
    lstusers->setAccessibleName(QStringLiteral("Online Users")); // a list takes no name from a buddy

    bold = named(new QToolButton(central), "bold");
    bold->setText(QStringLiteral("B"));
    QFont boldFace = bold->font();
    boldFace.setBold(true);
    bold->setFont(boldFace);
    bold->setCheckable(true);
    bold->setAutoRaise(true);

    italic = named(new QToolButton(central), "italic");
    italic->setText(QStringLiteral("I "));
    QFont boldItalicFace = boldFace;
    boldItalicFace.setItalic(true);
    italic->setFont(boldItalicFace);
    italic->setCheckable(true);
    italic->setAutoRaise(true);
    bold->setAccessibleName(QStringLiteral("Bold"));
    italic->setAccessibleName(QStringLiteral("Italic"));

    Label4 = plainLabel("Label4", QStringLiteral("Emotions:"), central);
    Combo1 = named(new QComboBox(central), "Combo1");
    Combo1->setEditable(true);
    Combo1->setInsertPolicy(QComboBox::NoInsert);
    Combo1->addItems(emotions());
    Combo1->setCurrentIndex(-1);
    Combo1->setEditText(QString());
    Combo1->setMinimumWidth(130);
    Label4->setBuddy(Combo1);

    txtTx = named(new QLineEdit(central), "txtTx");
    txtTx->setAccessibleName(QStringLiteral("Message to the room"));
    txtTx->setAccessibleDescription(QStringLiteral("Enter sends it"));
    Command1 = button("Command1", QStringLiteral("&Send"), central);
    Command1->setToolTip(QStringLiteral("Click this button to send message to your friend."));
    Command2 = button("Command2", QStringLiteral("&Clear"), central);
    Command2->setToolTip(QStringLiteral("Click this button to clear the message text box.  "));

    // Message window left, users right; style toggles and emotions under them; the entry line
    // with Send and Clear at the bottom. The message window and the users list take the growth.
    auto *grid = new QGridLayout(central);
    grid->addWidget(Label1, 0, 0, 1, 2);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(Label3, 1, 1);
    grid->addWidget(txtrx, 2, 0);
    grid->addWidget(lstusers, 2, 1);
    auto *styleRow = new QHBoxLayout;
    styleRow->addWidget(bold);
    styleRow->addWidget(italic);
    styleRow->addStretch(1);
    styleRow->addWidget(Label4);
    styleRow->addWidget(Combo1);
    grid->addLayout(styleRow, 3, 0, 1, 2);
    auto *entryRow = new QHBoxLayout;
    entryRow->addWidget(txtTx, 1);
    entryRow->addWidget(Command1);
    entryRow->addWidget(Command2);
    grid->addLayout(entryRow, 4, 0, 1, 2);
    grid->setRowStretch(2, 1);
    grid->setColumnStretch(0, 5);
    grid->setColumnStretch(1, 2);

    setTabOrder(txtTx, Command1);
    setTabOrder(Command1, Command2);

    connect(Command1, &QPushButton::clicked, this, &frmMain::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &frmMain::Command2_Click);
    connect(txtTx, &QLineEdit::returnPressed, this, &frmMain::txtTx_Return);
    txtrxTools_ = TextTools::attach(txtrx, [] { return QStringLiteral("Quillet room"); });
    txtrxTools_->setBeforeReading([this] { flushMessageWindow(); });
}

// --- Start-up, connecting, disconnecting, closing ---

void frmMain::Form_Load()
{
    Label1->setText(NoUserCaption);
    txtTx->setEnabled(false);
    Socketmain->setAsynchronous(true);
    if (Globals::sFirstRun.isEmpty()) {
        Globals::sFirstRun = QStringLiteral("rilko");
        // The port the login dialog opens with. The dialog itself is built when Connect first
        // needs it: nothing of it is on the first frame.
        Globals::nServerPort = qint32(frmAddress::FirstPortText.toShort());
    }
}

void frmMain::mnuFileConnect_Click()
{
    flushMessageWindow(); // before the caption changes and the login dialog shows
    if (Globals::sServerHost.isEmpty())
        Window<frmAddress>::exec();
    if (Globals::sServerHost.isEmpty())
        return;

    // Connect keeps the window painting (user input waits) until the server answers or ten
    // seconds pass: meanwhile the caption and a wait cursor say so.
    const QPointer<frmMain> alive(this);
    const QString caption = windowTitle();
    setWindowTitle(QStringLiteral("Connecting to %1:%2...")
                       .arg(Globals::sServerHost, QString::number(Globals::nServerPort)));
    mnuFileConnect->setEnabled(false); // no second Connect from a queued trigger meanwhile
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    const bool ok = Socketmain->Connect(Globals::sServerHost, QString(), Globals::nServerPort);
    QGuiApplication::restoreOverrideCursor();
    if (!alive)
        return;
    setWindowTitle(caption);
    mnuFileConnect->setEnabled(true);
    Globals::sServerHost.clear();
    if (ok) {
        Label1->setText(UserCaptionPrefix + Globals::sUserName);
        // The appearance goes up before the login is sent, so that a connection that breaks while
        // sending is reported like any other lost connection.
        ShowConnectedState();
        Socketmain->Send(SP::loginMessage(Globals::sUserName, Globals::sPassword));
    } else {
        messageBox(this, QStringLiteral("Connect Failed!"), QStringLiteral("Error!"),
                   BoxIcon::Exclamation);
        Label1->setText(NoUserCaption);
        txtTx->setEnabled(false);
        Socketmain->setAsynchronous(true);
    }
}

void frmMain::ShowConnectedState()
{
    flushMessageWindow();
    connected_ = true;
    txtTx->setEnabled(true);
    mnuFileConnect->setEnabled(false);
    mnuOptPrefs->setEnabled(false);
    mnuFileDisconnect->setEnabled(true);
    setWindowTitle(ConnectedTitle);
}

void frmMain::ShowDisconnectedState()
{
    flushMessageWindow();
    connected_ = false;
    setWindowTitle(DisconnectedTitle);
    Label1->setText(NoUserCaption);
    Globals::sServerHost.clear();
    mnuFileDisconnect->setEnabled(false);
    mnuFileConnect->setEnabled(true);
    // Nothing can be sent without a connection, and the server lists everybody afresh on the
    // next login.
    txtTx->setEnabled(false);
    lstusers->clear();
}

void frmMain::mnuFileDisconnect_Click()
{
    closingOnPurpose_ = true;
    Socketmain->Disconnect(); // raises Disconnected before it returns
    closingOnPurpose_ = false;
    ShowDisconnectedState();
}

void frmMain::Socketmain_Connnect()
{
    // Nothing: the result of Connect drives the window.
}

void frmMain::Socketmain_Disconnected()
{
    // The socket layer stays registered for the window's whole life, so Connect works again.
    Globals::sServerHost.clear();
    if (closingOnPurpose_ || !connected_)
        return;
    // Closed by the server, or a receive failed.
    ShowDisconnectedState();
    appendNotice(ConnectionLostText);
    ScrollMessageWindow();
}

void frmMain::mnuFileExit_Click()
{
    close();
}

void frmMain::closeEvent(QCloseEvent *event)
{
    closingOnPurpose_ = true;
    Socketmain->Disconnect();
    Socketmain->Shutdown();
    Window<frmabout>::unload();
    Window<frmAddress>::unload();
    event->accept();
    endProgram();
}

void frmMain::mnuhelp_Click()
{
    Window<frmabout>::show();
}

// --- The message window ---

void frmMain::queueRun(QString text, int format)
{
    // A run in the format of the one before joins it (a plain text and its line break, say): the
    // document comes out the same, with one insertion less.
    if (!pendingRuns_.empty() && pendingRuns_.back().format == format)
        pendingRuns_.back().text += text;
    else
        pendingRuns_.push_back({std::move(text), format});
    if (flushQueued_)
        return;
    flushQueued_ = true;
    QMetaObject::invokeMethod(txtrx, [this] {
        flushQueued_ = false;
        flushMessageWindow();
    }, Qt::QueuedConnection);
}

void frmMain::flushMessageWindow()
{
    if (pendingRuns_.empty())
        return;
    const std::vector<PendingRun> runs = std::exchange(pendingRuns_, {});
    QTextCursor cursor(txtrx->document());
    cursor.movePosition(QTextCursor::End);
    // One edit: the document reports one change, and the cursor skips measuring its x position
    // after every run.
    cursor.beginEditBlock();
    for (const PendingRun &run : runs)
        cursor.insertText(run.text, runFormat(run.format));
    cursor.endEditBlock();
    if (std::exchange(roomLinePending_, false))
        attention_->arrived();
}

void frmMain::appendNotice(const QString &line)
{
    queueRun(line, Notice);
    queueRun(QStringLiteral("\n"), LineEnd);
}

void frmMain::ScrollMessageWindow()
{
    if (txtrxTools_->findBar()->isOpen())
        return; // the view stays where the search put it
    // Text appended at the end carries a caret that was at the end along with it; only a caret
    // the user moved elsewhere has to be brought back (setTextCursor is not cheap).
    if (!txtrx->textCursor().atEnd())
        txtrx->moveCursor(QTextCursor::End);
    // The view follows once per turn of the event loop, not once per line of a burst: nothing is
    // painted in between, and every scroll moves the whole view.
    if (scrollPending_)
        return;
    scrollPending_ = true;
    QMetaObject::invokeMethod(this, [this] {
        scrollPending_ = false;
        flushMessageWindow(); // lines queued after this scroll was (a join, then a line) go in first
        // The caret is at the end: the view goes to the end by its scroll bar (ensureCursorVisible
        // lays out every line between the old view and the caret). A jump of more than a view
        // shows none of the lines in between, and the view is painted whole anyway: with the
        // viewport's updates off, the edit skips laying each of them out to scroll the old
        // picture by their height.
        QScrollBar *bar = txtrx->verticalScrollBar();
        if (bar->maximum() - bar->value() > bar->pageStep()) {
            txtrx->viewport()->setUpdatesEnabled(false);
            bar->setValue(bar->maximum());
            txtrx->viewport()->setUpdatesEnabled(true); // and paints it
        } else {
            bar->setValue(bar->maximum());
        }
    }, Qt::QueuedConnection);
}

// --- The dispatcher ---

void frmMain::Socketmain_DataArrival(const QString &Data)
{
    const SP::Kind kind = SP::classify(Data);
    if (kind != SP::Kind::Room)
        flushMessageWindow(); // the lines before it show before what it changes
    switch (kind) {
    case SP::Kind::LoginAccepted:
        return;
    case SP::Kind::LoginRefused:
        refuseLogin();
        return;
    case SP::Kind::UserAdded:
        if (!addUsers(Data))
            return;
        break;
    case SP::Kind::UserRemoved:
        if (!removeUser(Data))
            return;
        break;
    case SP::Kind::UserBusy:
    case SP::Kind::UserFree:
        if (const std::optional<QString> name = SP::cutStatusUser(Data))
            setUserBusy(lstusers, *name, kind == SP::Kind::UserBusy);
        break;
    case SP::Kind::Request:
        if (!takeRequest(Data))
            return;
        break;
    case SP::Kind::Room:
        if (!showRoomMessage(Data))
            return;
        break;
    }
    ScrollMessageWindow();
}

void frmMain::refuseLogin()
{
    mnuFileDisconnect_Click(); // the window is ready for a new Connect before the box comes up
    messageBox(this, LoginRefusedText, QStringLiteral("Error!"), BoxIcon::Exclamation);
}

bool frmMain::addUsers(const QString &data)
{
    const std::optional<QStringList> names = SP::cutUserList(data);
    if (!names)
        return false;
    for (qsizetype i = 0; i < names->size(); ++i) {
        const QString &name = names->at(i);
        lstusers->addItem(name);
        // The very first name after start-up, and the next names of an addition until four
        // names in all came in silently, are listed without a notice.
        const qint16 silentLimit = i == 0 ? 0 : 3;
        if (Globals::nSilentJoins <= silentLimit)
            ++Globals::nSilentJoins;
        else
            appendNotice(oneLine(name) + QStringLiteral(" joined the room. "));
    }
    return true;
}

bool frmMain::removeUser(const QString &data)
{
    const std::optional<QStringList> names = SP::cutUserList(data);
    if (!names)
        return false;
    const QString &name = names->first();
    for (int row = lstusers->count() - 1; row >= 0; --row) {
        if (lstusers->item(row)->text() == name) {
            delete lstusers->takeItem(row);
            appendNotice(oneLine(name) + QStringLiteral(" has left the room. "));
        }
    }
    return true;
}

bool frmMain::takeRequest(const QString &data)
{
    if (Globals::bPrivateChatActive)
        return false;
    const std::optional<SP::Request> request = SP::cutRequest(data);
    if (!request || !SP::isAcceptableRequest(*request))
        return false;

    emit RequestTaken(*request);
    return true;
}

bool frmMain::showRoomMessage(const QString &data)
{
    const std::optional<SP::RoomMessage> room = SP::cutRoomMessage(data);
    if (!room)
        return false;
    if (!room->serverNotice)
        queueRun(oneLine(room->name) + QStringLiteral(" : "), Name);

    const SP::Style style = SP::styleFromCode(room->style);
    const bool boldText = style == SP::Style::Bold || style == SP::Style::BoldItalic;
    const bool italicText = style == SP::Style::Italic || style == SP::Style::BoldItalic;
    const bool grey = room->serverNotice && style == SP::Style::Italic;
    queueRun(oneLine(room->text), (boldText ? Bold : 0) | (italicText ? Italic : 0) | (grey ? Notice : 0));
    queueRun(QStringLiteral("\n"), LineEnd);
    roomLinePending_ = true;
    return true;
}

// --- Composing ---

void frmMain::sendRoomLine(const QString &text)
{
    const QString style = SP::styleCode(bold->isChecked(), italic->isChecked());
    flushMessageWindow();
    Socketmain->Send(SP::roomMessage(text, style, Globals::sUserName));
    ScrollMessageWindow();
    txtTx->clear();
    txtTx->setFocus();
}

void frmMain::Command1_Click()
{
    if (!txtTx->isEnabled()) {
        flushMessageWindow();
        messageBox(this, NoConnectionText, QStringLiteral("Error"), BoxIcon::Information);
        return;
    }
    QString text = txtTx->text();
    if (text.isEmpty() && !Combo1->currentText().isEmpty()) {
        text = Combo1->currentText();
        Combo1->setCurrentIndex(-1);
        Combo1->setEditText(QString());
    }
    sendRoomLine(text);
}

void frmMain::txtTx_Return()
{
    sendRoomLine(txtTx->text());
}

void frmMain::Command2_Click()
{
    if (!txtTx->isEnabled()) {
        flushMessageWindow();
        messageBox(this, NoConnectionText, QStringLiteral("Error"), BoxIcon::Information);
        return;
    }
    txtTx->clear();
    txtTx->setFocus();
}

} // namespace quillet
