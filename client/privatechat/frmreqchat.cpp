#include "frmreqchat.h"

#include "Accessibility.h"
#include "Controls.h"
#include "Globals.h"
#include "MessageBoxes.h"
#include "WindowRegistry.h"
#include "frmMain.h"
#include "frmprivatechat.h"
#include "peer/peersocket.h"
#include "protocol/serverprotocol.h"

#include <varrow/Socket.h>

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRandomGenerator>

#include <cmath>

namespace quillet {

namespace SP = ServerProtocol;

namespace {

QString selectedUser(const frmMain *main)
{
    const QList<QListWidgetItem *> selected = main->lstusers->selectedItems();
    return selected.isEmpty() ? QString() : selected.first()->text();
}

int nextPort()
{
    if (frmreqchat::randomPort)
        return frmreqchat::randomPort();
    // Rounded to the nearest integer, halves to the even neighbour.
    return 5000 + int(std::nearbyint(QRandomGenerator::global()->generateDouble() * 1000));
}

} // namespace

void mnupchat_Click(frmMain *main)
{
    if (Globals::bPrivateChatActive) {
        messageBox(main, frmreqchat::ActiveText, QStringLiteral("Error"));
        return;
    }
    Globals::bPrivateChatActive = true;
    main->Socketmain->Send(SP::busyNotice());
    const QString user = selectedUser(main);
    if (user.isEmpty() || user == Globals::sUserName) {
        messageBox(main, user.isEmpty() ? frmreqchat::NoSelectionText : frmreqchat::OwnNameText);
        freePrivateChat(); // the request ends here: the server hears that this user is free again
        return;
    }
    Window<frmreqchat>::show();
}

frmreqchat::frmreqchat(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowCloseButtonHint)
{
    setObjectName(QStringLiteral("frmreqchat"));
    setWindowTitle(QStringLiteral(" Chat Request"));

    Label1 = plainLabel("Label1", QStringLiteral("Chat Request to : "), this);
    Label4 = plainLabel("Label4", QString(), this);
    Label2 = plainLabel("Label2", QStringLiteral("Request Message"), this);
    Text1 = named(new QLineEdit(this), "Text1");
    Text1->setMinimumWidth(220);
    Label2->setBuddy(Text1);
    Cmdrequest = button("Cmdrequest", QStringLiteral("Request"), this);
    Cmdcancel = button("Cmdcancel", QStringLiteral("Cancel"), this);
    Cmdrequest->setDefault(true); // Enter sends the request; Esc, like Cancel, ends it
    Winsock1 = named(new PeerSocket(this), "Winsock1");

    auto *grid = new QGridLayout(this);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(Label4, 0, 1);
    grid->addWidget(Label2, 1, 0);
    grid->addWidget(Text1, 1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(Cmdrequest);
    buttons->addWidget(Cmdcancel);
    grid->addLayout(buttons, 2, 0, 1, 2);
    grid->setSizeConstraint(QLayout::SetFixedSize);

    connect(Cmdrequest, &QPushButton::clicked, this, &frmreqchat::Cmdrequest_Click);
    connect(Cmdcancel, &QPushButton::clicked, this, &QDialog::reject);

    Form_Load();
}

void frmreqchat::Form_Load()
{
    if (const frmMain *main = Window<frmMain>::get())
        Globals::sPartnerName = selectedUser(main);
    showLabelValue(Label4, QStringLiteral("Partner"), Globals::sPartnerName);
}

QString frmreqchat::localAddress() const
{
    // The address through which this machine reaches the server is one the partner reaches too.
    if (const frmMain *main = Window<frmMain>::get()) {
        if (const QString address = main->Socketmain->LocalAddress(); !address.isEmpty())
            return address;
    }
    return Winsock1->LocalIP();
}

void frmreqchat::Cmdrequest_Click()
{
    const QString address = localAddress();
    frmprivatechat *chat = frmprivatechat::loadFresh();
    handedOver_ = true; // from here on, ending the request is the private chat window's part

    int port = 0;
    for (int attempt = 0; attempt < PortAttempts && port == 0; ++attempt) {
        const int candidate = nextPort();
        if (candidate >= SP::RequestPortMin && candidate <= SP::RequestPortMax
            && chat->listenOn(quint16(candidate)))
            port = candidate;
    }
    if (port == 0) {
        messageBox(this, NoPortText, QStringLiteral("Error"), BoxIcon::Exclamation);
        chat->close(); // ends the request and unloads this dialog
        return;
    }

    if (frmMain *main = Window<frmMain>::get())
        main->Socketmain->Send(
            SP::requestMessage(Text1->text(), address, QString::number(port), Label4->text()));
    chat->awaitAnswer();
    hide();
}

void frmreqchat::done(int result)
{
    QDialog::done(result);
    if (!handedOver_) {
        handedOver_ = true;
        freePrivateChat(); // cancelled before "Request"
    }
}

} // namespace quillet
