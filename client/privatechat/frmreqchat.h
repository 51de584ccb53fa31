// frmreqchat: the request dialog of a private chat, opened by "&Private Chat" (mnupchat) on the
// main window for the user selected in lstusers.
//
// "Request" first makes the hidden private chat window listen on a random port from 5000 to 6000
// (another one when a port is taken), and only then sends the request through the server, so the
// partner never connects to a port nobody listens on. The dialog then hides; it is unloaded with the
// private chat window. "Cancel" or the close box before "Request" end the request: the
// private-chat flag is cleared and the server hears "<free>".
#pragma once

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;

namespace quillet {

class frmMain;
class PeerSocket;

// "&Private Chat" on the main window: checks that no private chat is on and that another user is
// selected, then opens the request dialog.
void mnupchat_Click(frmMain *main);

class frmreqchat : public QDialog
{
    Q_OBJECT

public:
    explicit frmreqchat(QWidget *parent = nullptr);

    static inline const QString ActiveText =
        QStringLiteral("Private chat session already active, close it");
    static inline const QString NoSelectionText =
        QStringLiteral("Please Select User from Online user list");
    static inline const QString OwnNameText =
        QStringLiteral("You are trying ti established a private chat with youself");
    static inline const QString NoPortText =
        QStringLiteral("No port from 5000 to 6000 is free to wait for the partner on.");
    // How many ports "Request" tries before it gives up.
    static constexpr int PortAttempts = 50;

    // Where "Request" takes its ports from; unset: a pseudo-random number r in [0, 1) scaled to
    // round(r * 1000) + 5000, so 5000 to 6000 inclusive. Tests set it.
    static inline std::function<int()> randomPort;

    QLabel *Label1; // "Chat Request to : "
    QLabel *Label4; // the partner's name
    QLabel *Label2; // "Request Message"
    QLineEdit *Text1;
    QPushButton *Cmdrequest;
    QPushButton *Cmdcancel;
    PeerSocket *Winsock1; // only for this machine's address

    // The unload handler: Cancel, Esc and the close box end here.
    void done(int result) override;

public slots:
    void Cmdrequest_Click();

private:
    void Form_Load();
    QString localAddress() const;

    bool handedOver_ = false; // the private chat window holds the request now
};

} // namespace quillet
