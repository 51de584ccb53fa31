// frmreqchat: the request dialog of a private chat, for the partner PrivateChat names.
//
// "Request" reports the message typed (requested); PrivateChat then listens, sends the request
// and hides the dialog. "Cancel", Esc or the close box before that report cancelled().
#pragma once

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace quillet {

class frmreqchat : public QDialog
{
    Q_OBJECT

public:
    explicit frmreqchat(QWidget *parent = nullptr);

    QLabel *Label1; // "Chat Request to : "
    QLabel *Label4; // the partner's name
    QLabel *Label2; // "Request Message"
    QLineEdit *Text1;
    QPushButton *Cmdrequest;
    QPushButton *Cmdcancel;

    void showPartner(const QString &name);

    // The unload handler: Cancel, Esc and the close box end here.
    void done(int result) override;

signals:
    void requested(const QString &message);
    void cancelled();

private:
    bool requested_ = false;
};

} // namespace quillet
