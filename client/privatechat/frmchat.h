// frmchat: the incoming-request dialog, with the requester's name and message.
//
// "&Accept" and "&Refuse" report the answer (answered), "&Refuse" with the text of the reason box.
// The close box and Esc answer as "&Refuse" does. The answer is reported once.
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace quillet {

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

    void showRequest(const QString &requester, const QString &message);

    // The unload handler: every way of closing the dialog ends here, and answers once.
    void done(int result) override;

signals:
    void answered(bool accepted, const QString &reason);

private:
    bool accepted_ = false;
    bool answered_ = false;
};

} // namespace quillet
