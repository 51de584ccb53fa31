#include "PrivateChat.h"

#include "BusyMarks.h"
#include "DesktopNotice.h"
#include "Globals.h"
#include "chatfiletransfers.h"
#include "MessageBoxes.h"
#include "WindowRegistry.h"
#include "frmMain.h"
#include "frmchat.h"
#include "frmprivatechat.h"
#include "frmreqchat.h"
#include "SharedCanvas.h"
#include "frmcanvas.h"
#include "protocol/peerextensions.h"

#include <varrow/Socket.h>

#include <QAction>
#include <QListWidget>
#include <QRandomGenerator>
#include <QTimer>

#include <cmath>

namespace quillet {

namespace SP = ServerProtocol;
namespace PP = PeerProtocol;

PrivateChat::PrivateChat(frmMain *main, Services &services)
    : QObject(main), main_(main), services_(services), link_(new PeerLink(this)), answerTimer_(new QTimer(this)),
      files_(new ChatFileTransfers(link_, this))
{
    notice_ = new RequestNotice(services_, this);
    answerTimer_->setSingleShot(true);
    connect(answerTimer_, &QTimer::timeout, this, [this] {
        if (state_ == State::Waiting)
            end(Why::Unanswered);
    });
    connect(link_, &PeerLink::connected, this, &PrivateChat::linkConnected);
    connect(link_, &PeerLink::received, this, &PrivateChat::received);
    connect(link_, &PeerLink::closed, this, &PrivateChat::linkClosed);
    connect(link_, &PeerLink::failed, this, &PrivateChat::linkFailed);

    connect(main->mnupchat, &QAction::triggered, this, [this] {
        const QList<QListWidgetItem *> selected = main_->lstusers->selectedItems();
        privateChatChosen(selected.isEmpty() ? QString() : selected.first()->text());
    });
    connect(main, &frmMain::RequestTaken, this, &PrivateChat::requestRelayed);

    canvas_ = new SharedCanvas([this](const QString &m) {
        if (partnerUnderstands(PeerExtensions::Canvas))
            link_->send(m);
    }, this);
    connect(canvas_, &SharedCanvas::partnerDrawsUnseen, this, [this] {
        if (window_)
            window_->showStatus(partner_ + SharedCanvas::PartnerDrawsText);
    });
}

PrivateChat::~PrivateChat()
{
    link_->close();
}

void PrivateChat::setState(State state)
{
    if (state_ == state)
        return;
    if (state_ == State::Offered)
        notice_->requestEnded(); // answered, or gone
    state_ = state;
    emit stateChanged(state);
}

void PrivateChat::tellServer(const QString &notice)
{
    main_->Socketmain->Send(notice);
}

void PrivateChat::box(QWidget *parent, const QString &text, const QString &title, BoxIcon icon)
{
    if (services_.boxes)
        services_.boxes->show(parent, text, title.isEmpty() ? QString(ProgramName) : title, icon);
    else
        messageBox(parent, text, title, icon);
}

int PrivateChat::nextPort()
{
    if (services_.randomPort)
        return services_.randomPort();
    // Rounded to the nearest integer, halves to the even neighbour.
    return 5000 + int(std::nearbyint(QRandomGenerator::global()->generateDouble() * 1000));
}

// --- The requesting side ---

void PrivateChat::privateChatChosen(const QString &selectedUser)
{
    if (Globals::bPrivateChatActive) {
        box(main_, ActiveText, QStringLiteral("Error"));
        return;
    }
    Globals::bPrivateChatActive = true;
    tellServer(SP::busyNotice());
    if (selectedUser.isEmpty() || selectedUser == Globals::sUserName) {
        box(main_, selectedUser.isEmpty() ? NoSelectionText : OwnNameText);
        end(Why::Cancelled);
        return;
    }
    partner_ = selectedUser;
    setState(State::Requesting);
    // Always a fresh dialog, for the user selected now.
    Window<frmreqchat>::unload();
    frmreqchat *dialog = Window<frmreqchat>::load();
    dialog->showPartner(partner_, isUserBusy(main_->lstusers, partner_));
    connect(dialog, &frmreqchat::requested, this, &PrivateChat::requestSent);
    connect(dialog, &frmreqchat::cancelled, this, &PrivateChat::requestCancelled);
    Window<frmreqchat>::show();
}

void PrivateChat::requestCancelled()
{
    if (state_ == State::Requesting)
        end(Why::Cancelled);
}

void PrivateChat::requestSent(const QString &message)
{
    if (state_ != State::Requesting)
        return;
    // The address through which this machine reaches the server is one the partner reaches too.
    QString address = main_->Socketmain->LocalAddress();
    if (address.isEmpty())
        address = PeerLink::localIP();

    int port = 0;
    for (int attempt = 0; attempt < PortAttempts && port == 0; ++attempt) {
        const int candidate = nextPort();
        if (candidate >= SP::RequestPortMin && candidate <= SP::RequestPortMax
            && link_->listen(quint16(candidate)))
            port = candidate;
    }
    if (port == 0) {
        box(Window<frmreqchat>::get(), NoPortText, QStringLiteral("Error"), BoxIcon::Exclamation);
        end(Why::NoPort);
        return;
    }
    // Listening first: the partner never connects to a port nobody listens on.
    tellServer(SP::requestMessage(message, address, QString::number(port), partner_));
    setState(State::Waiting);
    answerTimer_->start(services_.answerTimeoutMs);
    if (frmreqchat *dialog = Window<frmreqchat>::get())
        dialog->hide();
}

// --- The accepting side ---

void PrivateChat::requestRelayed(const SP::Request &request)
{
    // The dispatcher passes only requests it could cut; those a client cannot use are dropped.
    const std::optional<quint16> port = SP::requestPort(request.port);
    if (Globals::bPrivateChatActive || !SP::isDottedIPv4(request.address) || !port)
        return;
    Globals::bPrivateChatActive = true;
    tellServer(SP::busyNotice());
    partner_ = request.user;
    refusing_ = false;
    setState(State::Offered);
    link_->connectTo(request.address, *port);
    Window<frmchat>::unload();
    frmchat *dialog = Window<frmchat>::load();
    dialog->showRequest(request.user, request.message);
    connect(dialog, &frmchat::answered, this, &PrivateChat::answered);
    notice_->requestArrived(request.user, request.message, dialog); // before it shows: who was away
    Window<frmchat>::show();
}

void PrivateChat::answered(bool accepted, const QString &reason)
{
    if (state_ != State::Offered || !pendingAnswer_.isEmpty() || refusing_)
        return;
    refusing_ = !accepted;
    const QString reply = accepted ? PP::acceptReply() : PP::refuseReply(reason);
    if (accepted)
        startChat();
    if (link_->state() == PeerLink::State::Connected)
        sendAnswer(reply);
    else
        pendingAnswer_ = reply; // goes out once the connection is up
}

void PrivateChat::sendAnswer(const QString &reply)
{
    link_->send(reply);
    if (refusing_)
        end(Why::RefusalSent);
}

void PrivateChat::linkConnected()
{
    if (!pendingAnswer_.isEmpty())
        sendAnswer(std::exchange(pendingAnswer_, QString()));
}

// --- The chat ---

void PrivateChat::startChat()
{
    answerTimer_->stop();
    helloSent_ = false;
    partnerFeatures_.clear();
    canvas_->chatStarted();
    setState(State::Connected);
    if (window_) { // the window of an earlier chat: its closing is not this chat's
        disconnect(window_, nullptr, this, nullptr);
        window_->close();
    }
    window_ = Window<frmprivatechat>::load();
    window_->showNames(Globals::sUserName, partner_);
    connect(window_, &frmprivatechat::typed, this, &PrivateChat::typed);
    connect(window_, &frmprivatechat::closing, this, &PrivateChat::chatClosed);
    connect(window_, &frmprivatechat::canvasOpened, canvas_, &SharedCanvas::attach);
    files_->setWindow(window_);
    files_->setPartner(partner_);
    for (QAction *item : {window_->sendfile, window_->mnusendpicture})
        connect(item, &QAction::triggered, this, [this, file = item == window_->sendfile] {
            files_->setPartnerCanReceive(partnerUnderstands(PeerExtensions::File));
            file ? files_->sendFile() : files_->sendPicture();
        });
    Window<frmprivatechat>::show();
}

void PrivateChat::typed(const QString &peerMessage)
{
    if (state_ == State::Connected)
        link_->send(peerMessage);
}

void PrivateChat::chatClosed()
{
    if (state_ == State::Connected)
        end(Why::Closed);
}

void PrivateChat::received(const PP::Message &message)
{
    const bool requester = state_ == State::Waiting;
    switch (message.kind) {
    case PP::Kind::Close:
        if (state_ == State::Connected || requester)
            end(Why::Closed);
        break;
    case PP::Kind::Accept:
        if (requester) {
            startChat();
            sayHello();
        }
        break;
    case PP::Kind::Refuse:
        if (requester)
            end(Why::Refused, message.reason);
        break;
    case PP::Kind::Character:
        if (window_ && state_ == State::Connected)
            window_->appendReceived(message.character);
        break;
    case PP::Kind::Delete:
        if (window_ && state_ == State::Connected)
            window_->deleteReceived(message.count);
        break;
    case PP::Kind::Extension:
        if (state_ == State::Connected)
            extensionReceived(message.extension, message.body);
        break;
    case PP::Kind::Ignored:
        break;
    }
}

void PrivateChat::extensionReceived(const QString &name, const QString &body)
{
    if (name == u"hello") {
        if (const auto features = PeerExtensions::helloFeatures(body)) {
            partnerFeatures_ = *features;
            sayHello();
        }
    } else if (!files_->handle(name, body)) { // "file..." messages
        canvas_->received(name, body);
    }
}

void PrivateChat::sayHello()
{
    if (!helloSent_ && state_ == State::Connected)
        helloSent_ = link_->send(PeerExtensions::hello());
}

bool PrivateChat::partnerUnderstands(QLatin1StringView feature) const
{
    return state_ == State::Connected && partnerFeatures_.contains(feature);
}

void PrivateChat::linkClosed()
{
    if (state_ == State::Connected)
        end(Why::PartnerClosed);
    else if (state_ == State::Waiting || state_ == State::Offered)
        end(Why::Unanswered);
}

void PrivateChat::linkFailed(const QString &description)
{
    if (state_ == State::Waiting || state_ == State::Offered || state_ == State::Connected)
        end(Why::Error, description);
}

// --- The one way out ---

void PrivateChat::end(Why why, const QString &detail)
{
    const State was = state_;
    const bool wasRequester = was == State::Waiting;
    const bool tellError = !refusing_;
    answerTimer_->stop();
    pendingAnswer_.clear();
    refusing_ = false;
    files_->closeAll();
    link_->close();
    const bool chatShown = was == State::Connected && window_;
    setState(chatShown && why != Why::Closed ? State::Ended : State::Idle);
    if (Globals::bPrivateChatActive) {
        Globals::bPrivateChatActive = false;
        tellServer(SP::freeNotice());
    }

    Window<frmreqchat>::unload();
    Window<frmchat>::unload();
    if (chatShown && why == Why::PartnerClosed)
        window_->showStatus(partner_ + PartnerClosedText);
    else if (chatShown && why == Why::Error)
        window_->showStatus(ConnectionErrorText + detail);
    else if (window_ && was == State::Connected)
        window_->close();

    switch (why) {
    case Why::Refused: {
        QString text = RefusedText;
        if (!detail.trimmed().isEmpty())
            text += u'\n' + detail;
        box(main_, text, RefusedTitle, BoxIcon::Critical);
        break;
    }
    case Why::Unanswered:
        if (wasRequester)
            box(main_, UnansweredText, QString(), BoxIcon::Information);
        break;
    case Why::Error:
        if (tellError)
            box(chatShown ? static_cast<QWidget *>(window_.data()) : main_, detail);
        break;
    default:
        break;
    }
}

} // namespace quillet
