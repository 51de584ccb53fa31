// frmprivatechat: the private chat window. One per client; it owns the peer connection (Winsock)
// to the partner's client and mirrors each side's typing key by key.
//
// Both sides run the same window. The requester's window is loaded hidden by the request dialog
// (frmreqchat), listens, and shows itself when the partner's answer is an acceptance. The partner's
// window is loaded hidden when the relayed request arrives, connects to the requester, and is shown
// by the incoming-request dialog (frmchat) on "&Accept".
//
// Every peer message goes out followed by one 0 byte; what arrives is split at the 0 bytes
// (PeerProtocol::Framer), so messages that share one read are all handled, in order.
//
// Ending. However a chat or a request ends (Close Connection, the close box, a refusal, the partner
// closing, a connection error, an unanswered request, a "<close>" notice), the window ends it once:
// it stops the answer timer, closes its end of the peer connection, clears bPrivateChatActive and
// tells the server "<free>". A window still hidden for its request is then discarded together with
// the request dialogs; a chat window that was shown stays open (it says in Label3/Text3 why the
// chat ended) until the user closes it, and is replaced by a fresh one when the next chat starts.
#pragma once

#include "peer/peersocket.h"
#include "peer/peerprotocol.h"

#include <QMainWindow>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QTimer;

namespace quillet {

class AttentionRequest;
class frmMain;

// Wires the private chat into the main window: "&Private Chat" (mnupchat) and the relayed
// requests that the dispatcher takes (RequestTaken). Whoever creates frmMain calls it once.
void connectPrivateChat(frmMain *main);

// Clears bPrivateChatActive and tells the server "<free>" (when the main window is there).
void freePrivateChat();

class frmprivatechat : public QMainWindow
{
    Q_OBJECT

public:
    explicit frmprivatechat(QWidget *parent = nullptr);

    // How long the requester waits for the partner's answer, in milliseconds; read when the wait
    // starts.
    static inline int AnswerTimeoutMs = 60 * 1000;

    static inline const QString RefusedText =
        QStringLiteral("Private chat session refused by the other client");
    static inline const QString RefusedTitle = QStringLiteral("Request refused");
    static inline const QString UnansweredText =
        QStringLiteral("The other client did not answer the private chat request.");
    static inline const QString StatusCaption = QStringLiteral("Status :");
    static inline const QString PartnerClosedText = QStringLiteral(" closed the connection.");
    static inline const QString ConnectionErrorText = QStringLiteral("Connection error: ");

    // The window for a new chat: the loaded one, or, when the loaded one belongs to a chat that
    // has ended, a fresh one in its place.
    static frmprivatechat *loadFresh();

    PeerSocket *Winsock;

    QLabel *Label2;          // the partner's name
    QPlainTextEdit *Txtrecv; // the partner's typing
    QLabel *Label1;          // the own name
    QPlainTextEdit *Txtsend; // the own typing
    QLabel *Label3;          // the status row: why the chat ended
    QLineEdit *Text3;

    QMenu *mnuconnection;
    QAction *mnuclconnection;
    QMenu *mnucanvas;
    QAction *mnuopcanvas;
    QAction *mnuclcanvas;
    QMenu *mnusend;
    QAction *sendfile;
    QAction *mnusendpicture;
    QMenu *help;
    QAction *mnuabout;

    // Requesting side: listens for the partner on `port`; false when the port cannot be had.
    bool listenOn(quint16 port);
    // Requesting side, once the request is sent: waits AnswerTimeoutMs for the answer.
    void awaitAnswer();
    // Accepting side: connects to the requester.
    void connectToRequester(const QString &address, quint16 port);
    // Accepting side: the user's answer (PeerProtocol::acceptReply or refuseReply). It goes out at
    // once when the connection is up, else as soon as it is. After a refusal has gone out the
    // request is over and the window ends it.
    void answer(const QString &reply, bool accepted);

    // The chat (or the request) has ended: the window no longer holds a connection.
    bool chatEnded() const { return ended_; }

public slots:
    void mnuclconnection_Click();
    void mnuopcanvas_Click();
    void mnuabout_Click();

    void Winsock_ConnectionRequest(qint32 requestID);
    void Winsock_Connected();
    void Winsock_DataArrival(qint64 bytesTotal);
    void Winsock_Closed();
    void Winsock_Error(int number, const QString &description);

protected:
    // The unload handler: ends the chat if it is still on, and unloads the request dialogs.
    void closeEvent(QCloseEvent *event) override;
    // Key presses in Txtsend go to the partner.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void Form_Load();
    void buildMenus();
    void buildControls();

    void endChat();
    void showStatus(const QString &text);
    void send(const QString &message);
    // The accepting side's answer, on a connection that is up; a refusal then ends the request.
    void sendAnswer(const QString &reply);
    void handle(const PeerProtocol::Message &message);
    void appendReceived(QChar character);
    void answerTimer_Timer();

    QTimer *answerTimer_;
    AttentionRequest *attention_; // the partner's typing arriving while the window is not active
    PeerProtocol::Framer framer_;
    QString pendingAnswer_; // the accepting side's answer, waiting for the connection
    bool requester_ = false; // this window listens (requesting side)
    bool chatOn_ = false;    // the chat was accepted: the window is (or was) shown for it
    bool refused_ = false;   // accepting side: the user refused
    bool ended_ = false;
};

} // namespace quillet
