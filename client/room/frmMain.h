// frmMain: the main window. It lives for the whole run, owns the one server connection
// (Socketmain), shows the room (txtrx) and the online users (lstusers), and sends room messages.
//
// Everything the server sends arrives in Socketmain_DataArrival, the dispatcher. A relayed private
// chat request that the dispatcher takes ends in the signal RequestTaken(request): that is where the
// private chat comes in. The "Private Chat" menu item (mnupchat) has no handler here: whoever
// creates the window wires both into a PrivateChat (privatechat/PrivateChat.h).
#pragma once

#include "protocol/serverprotocol.h"

#include <QColor>
#include <QMainWindow>
#include <QStringList>

#include <vector>

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QTextCursor;
class QToolButton;

namespace varrow {
class Socket;
}

namespace quillet {

class AttentionRequest;
class TextTools;

class frmMain : public QMainWindow
{
    Q_OBJECT

public:
    explicit frmMain(QWidget *parent = nullptr);

    // Texts the window shows.
    static inline const QString NoUserCaption = QStringLiteral("  User :    None");
    static inline const QString UserCaptionPrefix = QStringLiteral("User :    ");
    static inline const QString DisconnectedTitle = QStringLiteral("Quillet :[Disconnected]");
    static inline const QString ConnectedTitle = QStringLiteral("Quillet [Connected]");
    static inline const QString NoConnectionText =
        QStringLiteral("No Valid Connection , Please make connection");
    static inline const QString LoginRefusedText =
        QStringLiteral("The server refused the user name or the password.");
    static inline const QString ConnectionLostText =
        QStringLiteral("The connection to the server was lost. ");
    // Colours of the message window.
    static inline const QColor NameColour = QColor(0, 0, 255);
    static inline const QColor TextColour = QColor(0, 0, 0);
    static inline const QColor NoticeColour = QColor(150, 150, 150);
    // The emotion words of Combo1, in list order.
    static QStringList emotions();

    // The server connection.
    varrow::Socket *Socketmain;

    QLabel *Label1;
    QLabel *Label2;
    QLabel *Label3;
    QPlainTextEdit *txtrx;
    QListWidget *lstusers;
    QToolButton *bold;
    QToolButton *italic;
    QLabel *Label4;
    QComboBox *Combo1;
    QLineEdit *txtTx;
    QPushButton *Command1;
    QPushButton *Command2;

    QMenu *mnuFile;
    QAction *mnuFileConnect;
    QAction *mnuFileDisconnect;
    QAction *mnuFileSep1;
    QAction *mnuFileExit;
    QMenu *mnuOptions;
    QAction *mnufree;
    QAction *mnuOptPrefs;
    QMenu *mnuuser;
    QAction *mnupchat;
    QMenu *mnuabout;
    QAction *mnuhelp;

    // Puts the window into its connected appearance.
    void ShowConnectedState();
    // Brings the end of the message window into view; the keyboard focus stays where it is.
    void ScrollMessageWindow();
    // Puts the lines that wait for the end of this turn of the event loop into the message window
    // now (see queueRun).
    void flushMessageWindow();

signals:
    // A relayed private chat request was taken (no private chat was on; the address is a dotted
    // IPv4 address, the port 5000..6000).
    void RequestTaken(const quillet::ServerProtocol::Request &request);

public slots:
    void mnuFileConnect_Click();
    void mnuFileDisconnect_Click();
    void mnuFileExit_Click();
    void mnuhelp_Click();
    void Command1_Click();
    void Command2_Click();
    // Enter (carriage return) in txtTx.
    void txtTx_Return();

    void Socketmain_Connnect();
    // The dispatcher: one call per message from the server, without its 0 byte.
    void Socketmain_DataArrival(const QString &Data);
    void Socketmain_Disconnected();

protected:
    // The unload handler: disconnects, releases the socket layer, closes the login dialog and the
    // About box, and ends the program.
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Load();
    void buildMenus();
    void buildControls();
    void ShowDisconnectedState();

    // Dispatcher branches; each returns false for a message it drops (nothing shown, no scroll).
    void refuseLogin();
    bool addUsers(const QString &data);
    bool removeUser(const QString &data);
    bool takeRequest(const QString &data);
    bool showRoomMessage(const QString &data);

    // The lines of one turn of the event loop go into the message window as one edit at its end
    // (flushMessageWindow, from a queued call on txtrx): the document takes them in one change and
    // the view is laid out and painted once. A queued call of normal priority is delivered before
    // any repaint (those are posted at low priority), and whatever else the window changes or shows
    // (the users list, the title, a message box, find and save) flushes first, so a line never
    // shows after something that came after it. `format` is one of the RunFormat values.
    void queueRun(QString text, int format);
    void appendNotice(const QString &line);
    void sendRoomLine(const QString &text);

    AttentionRequest *attention_;  // room lines arriving while the window is not active
    TextTools *txtrxTools_;        // find and save in the message window
    bool connected_ = false;       // the connected appearance is up
    bool closingOnPurpose_ = false; // the Disconnected event comes from our own Disconnect()
    bool scrollPending_ = false;    // the view is brought to the end on the next turn of the loop

    struct PendingRun
    {
        QString text;
        int format;
    };
    std::vector<PendingRun> pendingRuns_; // runs of lines not yet in the message window, in order
    bool flushQueued_ = false;            // a queued call on txtrx flushes them
    bool roomLinePending_ = false;        // a room line is among them (attention is asked)
};

} // namespace quillet
