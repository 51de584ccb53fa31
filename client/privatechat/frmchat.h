// frmchat: the incoming-request dialog. The main window's dispatcher takes a relayed private chat
// request (frmMain::RequestTaken); takeRelayedRequest() then loads the private chat window hidden,
// connects it to the requester and shows this dialog modeless with the requester's name and message.
//
// "&Accept" and "&Refuse" answer over the private chat window's connection (the answer waits there
// if the connection is not up yet). "&Refuse" sends the text of the reason box after the refusal.
// The close box and Esc answer as "&Refuse" does.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace quillet {

// The relayed-request branch of the dispatcher, connected to frmMain::RequestTaken: the request's
// fields are in Globals (sRequestUser, sRequestAddr, sRequestPort, sRequestMessage).
void takeRelayedRequest();

class frmchat : public QDialog
{
    Q_OBJECT

public:
    explicit frmchat(QWidget *parent = nullptr);

    QLabel *Label3; // "Chat Request from :  "
    QLabel *Label1; // the requester's name
    QLabel *Label2; // "Request Message"
    QLabel *Label4; // the request message
    QLabel *Label5; // "Reason of refusal :"
    QLineEdit *Text1;
    QPushButton *Cmdrequest;
    QPushButton *Cmdcancel;

    // The unload handler: every way of closing the dialog ends here, and answers once.
    void done(int result) override;

public slots:
    void Cmdrequest_Click();

private:
    void Form_Load();

    bool accepted_ = false;
    bool answered_ = false;
};

} // namespace quillet
