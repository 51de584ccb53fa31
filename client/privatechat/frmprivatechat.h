// frmprivatechat: the private chat window. It shows both names, the partner's typing as
// PrivateChat hands it over, and why the chat ended (Label3/Text3); every key typed into Txtsend is
// reported as the peer message for it (typed). Close Connection and the close box report closing().
#pragma once

#include <QMainWindow>

class QAction;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;

namespace quillet {

class AttentionRequest;

class frmprivatechat : public QMainWindow
{
    Q_OBJECT

public:
    explicit frmprivatechat(QWidget *parent = nullptr);

    static inline const QString StatusCaption = QStringLiteral("Status :");

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

    void showNames(const QString &own, const QString &partner);
    // The partner's typing: one character at the end (a line break for CR or LF), or `count`
    // characters removed from the end.
    void appendReceived(QChar character);
    void deleteReceived(int count);
    void showStatus(const QString &text);

signals:
    void typed(const QString &peerMessage);
    void closing();

protected:
    // The unload handler: reports closing().
    void closeEvent(QCloseEvent *event) override;
    // Key presses in Txtsend go to the partner.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildMenus();
    void buildControls();

    AttentionRequest *attention_; // the partner's typing arriving while the window is not active
    QString partner_;
};

} // namespace quillet
