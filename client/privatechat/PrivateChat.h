// PrivateChat: the one private chat of a client, from "&Private Chat" or a relayed request to its
// end. It owns the peer link, the wait for the partner's answer, the "<busy>"/"<free>" notices and
// the private-chat flag (Globals::bPrivateChatActive: only this object writes it). The windows
// (frmreqchat, frmchat, frmprivatechat) show what it tells them and report what the user did.
//
//   Idle ──Private Chat──> Requesting ──Request──> Waiting ──accept──> Connected
//   Idle ──relayed request──> Offered ──Accept──> Connected
//   every other way out (Cancel, refusal, time-out, either side closing, an error, a window
//   closed) goes through end(): the link closed, the windows closed or left showing why, the flag
//   cleared and "<free>" sent once. Ended is Idle with the last chat window still showing why.
//
// New kinds of peer message are handled in received(), the one dispatch on the message kind.
// They are extension messages (protocol/peerextensions.h), sent only to a partner whose hello in
// this chat named their feature: the requester says hello when the acceptance arrives, a client
// that hears a hello before saying its own answers with it. A partner that never says hello gets
// exactly the messages of the first protocol.
#pragma once

#include "peer/peerlink.h"
#include "MessageBoxes.h"
#include "Services.h"
#include "protocol/serverprotocol.h"

#include <QObject>
#include <QPointer>

class QTimer;

namespace varrow {
class Socket;
}

namespace quillet {

class ChatFileTransfers;
class frmMain;
class frmprivatechat;
class RequestNotice;
class SharedCanvas;

class PrivateChat : public QObject
{
    Q_OBJECT

public:
    enum class State {
        Idle,       // no chat: "&Private Chat" and relayed requests are taken
        Requesting, // the request dialog is open; "<busy>" has gone out
        Waiting,    // listening; the request has gone out; the answer is awaited
        Offered,    // a relayed request: connecting to the requester, the user is asked
        Connected,  // the chat is on, its window shown
        Ended,      // as Idle; the last chat window still shows why it ended
    };
    Q_ENUM(State)

    static inline const QString ActiveText =
        QStringLiteral("Private chat session already active, close it");
    static inline const QString NoSelectionText =
        QStringLiteral("Please Select User from Online user list");
    static inline const QString OwnNameText =
        QStringLiteral("You are trying ti established a private chat with youself");
    static inline const QString NoPortText =
        QStringLiteral("No port from 5000 to 6000 is free to wait for the partner on.");
    static inline const QString RefusedText =
        QStringLiteral("Private chat session refused by the other client");
    static inline const QString RefusedTitle = QStringLiteral("Request refused");
    static inline const QString UnansweredText =
        QStringLiteral("The other client did not answer the private chat request.");
    static inline const QString PartnerClosedText = QStringLiteral(" closed the connection.");
    static inline const QString ConnectionErrorText = QStringLiteral("Connection error: ");
    // How many ports "Request" tries before it gives up.
    static constexpr int PortAttempts = 50;

    // Wires itself into the main window's "&Private Chat" and its relayed requests; takes the
    // message boxes, the random port and the answer wait from `services`.
    explicit PrivateChat(frmMain *main, Services &services = quillet::services());
    ~PrivateChat() override;

    State state() const { return state_; }
    PeerLink *link() const { return link_; }
    QString partner() const { return partner_; }
    ChatFileTransfers *files() const { return files_; } // Send File, Send Picture
    // The partner said, in this chat, that it understands `feature` (PeerExtensions::Canvas, ...).
    bool partnerUnderstands(QLatin1StringView feature) const;

    // What the user and the server do.
    void privateChatChosen(const QString &selectedUser);
    void requestSent(const QString &message);
    void requestCancelled();
    void requestRelayed(const ServerProtocol::Request &request);
    void answered(bool accepted, const QString &reason);
    void chatClosed(); // Close Connection, or the chat window's close box
    void typed(const QString &peerMessage);

signals:
    void stateChanged(quillet::PrivateChat::State state);

private:
    enum class Why { Cancelled, NoPort, Refused, RefusalSent, Unanswered, PartnerClosed, Error, Closed };

    void setState(State state);
    void received(const PeerProtocol::Message &message);
    void extensionReceived(const QString &name, const QString &body);
    void sayHello();
    void linkConnected();
    void linkClosed();
    void linkFailed(const QString &description);
    void sendAnswer(const QString &reply);
    void startChat();
    void end(Why why, const QString &detail = QString());
    void tellServer(const QString &notice);
    int nextPort();
    void box(QWidget *parent, const QString &text, const QString &title = QString(),
             BoxIcon icon = BoxIcon::None);

    frmMain *main_;
    Services &services_;
    PeerLink *link_;
    QTimer *answerTimer_;
    State state_ = State::Idle;
    QString partner_;
    QString pendingAnswer_; // the accepting side's answer, waiting for the connection
    bool refusing_ = false;
    bool helloSent_ = false;        // this chat's hello has gone out
    QStringList partnerFeatures_;   // what the partner's hello named in this chat
    QPointer<frmprivatechat> window_; // the chat window of this chat, once shown
    RequestNotice *notice_;           // the desktop notice of an offered request
    SharedCanvas *canvas_;            // the partner's drawing, and own strokes on their way
    ChatFileTransfers *files_;
};

} // namespace quillet
