// A scripted Quillet client: the real client code (main window, login dialog, private chat
// windows, canvas) driven by one command per line on stdin, on whatever platform Qt is given:
// offscreen for the end-to-end private chat test, a real X display (Xvfb) for the README's
// screenshots (scripts/screenshots.sh). Every command answers one line on stdout: "ok" and a
// value, or "fail" and what was found instead. Message boxes are recorded, not shown. In texts, \n
// stands for Enter (a line break) and \b for Backspace.
//
//   login NAME PORT        log in as NAME to 127.0.0.1:PORT; ok once NAME is listed
//   request NAME MESSAGE   once NAME is listed: "&Private Chat" for NAME, "Request" with MESSAGE
//   accept                 once a request comes in: "&Accept"; ok REQUESTER|MESSAGE
//   wait-shown             ok PARTNER once the window of a chat that is on is shown
//   type TEXT              key presses into Txtsend
//   wait-recv TEXT         ok once Txtrecv shows exactly TEXT
//   close                  "Close Connection"
//   wait-status            ok STATUS once the status row of the chat window says something
//   state                  ok active=0|1 boxes=N
//   wait-busy NAMES        ok once exactly NAMES (a,b; - for none) are marked busy in the users list
//   find TEXT              Ctrl+F in the chat window, TEXT into the find bar; ok STATUS ("1 of 2")
//   save FILE              Ctrl+S in the chat window, with FILE as the answer of the save dialog
//   send-file PATH         "Send File", choosing PATH (send-picture PATH: "Send Picture")
//   take-file DIR          once an offer is shown: "&Accept", saving into DIR; ok PATH once saved
//   take-picture           once a picture is offered: "&Accept"; ok WxH once its window shows it
// and for pictures of the windows:
//   login-shot NAME PORT FILE  log in as "login", but save a picture of the filled login dialog
//                          to FILE (PNG) just before OK
//   say STYLE TEXT         a room line with STYLE N, B, I or BI; ok once the server relayed it
//   wait-room TEXT         ok once the message window shows TEXT
//   select NAME            select NAME in the users list
//   canvas                 "Open Canvas"; ok once the canvas is shown
//   draw COLOUR X,Y X,Y..  pick COLOUR (its name, "-" for blanks) and drag the left button
//                          through the points of the drawing area
//   drawing own|partner [DIGEST]  ok DIGEST: a digest of the canvas's own area or of the partner's
//                          as shown; with DIGEST, once it is that
//   shoot WINDOW FILE      save a picture of WINDOW (main, chat or canvas) to FILE (PNG)
#include "BusyMarks.h"
#include "ClientTestSupport.h"
#include "FindBar.h"
#include "PrivateChat.h"
#include "chatfiletransfers.h"
#include "picturewindow.h"
#include "frmcanvas.h"
#include "frmchat.h"
#include "frmprivatechat.h"
#include "frmreqchat.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>

#include <unistd.h>

#include <cstdio>

using namespace quillet;
using namespace quillet::test;

namespace {

QString unescape(QString text)
{
    return text.replace("\\n", "\n").replace("\\b", "\b");
}

bool waitFor(const std::function<bool()> &condition)
{
    return QTest::qWaitFor(condition, 20000);
}

class Driver
{
public:
    Driver() : main_(startMainWindow())
    {
        PrivateChat *chat = new PrivateChat(main_); // owned by the window
        files_ = chat->files();
        ChatFileTransfers::Seams seams;
        seams.openFile = [this](QWidget *, bool) { return pick_; };
        seams.saveAs = [this](QWidget *, const QString &suggested) {
            return saved_ = QDir(saveDir_).filePath(QFileInfo(suggested).fileName());
        };
        seams.inform = [](QWidget *, const QString &, const QString &text) {
            std::fprintf(stderr, "driver: %s\n", qPrintable(text));
        };
        files_->setSeams(seams);
        main_->show();
    }

    // Runs one command and returns its answer line.
    QString run(const QString &command, const QString &arg)
    {
        frmprivatechat *chat = Window<frmprivatechat>::get();
        const QString first = arg.section(u' ', 0, 0), rest = arg.section(u' ', 1);
        bool ok = true;
        QString value;
        if (command == "login") {
            connectThroughDialog(main_, {first, "pw", "127.0.0.1", rest});
            ok = listed(first);
        } else if (command == "request") {
            ok = select(first);
            main_->mnupchat->trigger();
            frmreqchat *dialog = Window<frmreqchat>::get();
            ok = ok && dialog;
            if (ok) {
                dialog->Text1->setText(rest);
                dialog->Cmdrequest->click();
            }
        } else if (command == "accept") {
            ok = waitFor([] { return Window<frmchat>::get() != nullptr; });
            if (frmchat *dialog = Window<frmchat>::get()) {
                value = dialog->Label1->text() + '|' + dialog->Label4->text();
                dialog->Cmdrequest->click();
            }
        } else if (command == "wait-shown") {
            ok = waitFor([] { // a chat on, not the last one's window showing why it ended
                const frmprivatechat *w = Window<frmprivatechat>::get();
                return w && w->isVisible() && w->Text3->text().isEmpty();
            });
            value = ok ? Window<frmprivatechat>::get()->Label2->text() : QString();
        } else if (command == "login-shot") {
            const QString port = rest.section(u' ', 0, 0), file = rest.section(u' ', 1);
            bool saved = false;
            connectThroughDialog(main_, {first, "secret", "127.0.0.1", port}, [&](QWidget *dialog) {
                saved = QTest::qWaitForWindowExposed(dialog) && dialog->grab().save(file, "PNG");
            });
            ok = saved && listed(first);
        } else if (command == "say") {
            main_->bold->setChecked(first.contains(u'B'));
            main_->italic->setChecked(first.contains(u'I'));
            main_->txtTx->setText(unescape(rest));
            QTest::keyClick(main_->txtTx, Qt::Key_Return);
            ok = waitFor([&] { return main_->txtrx->toPlainText().contains(unescape(rest)); });
        } else if (command == "wait-room") {
            ok = waitFor([&] { return main_->txtrx->toPlainText().contains(unescape(arg)); });
        } else if (command == "select") {
            ok = select(arg);
        } else if (command == "canvas") {
            if (chat)
                chat->mnuopcanvas->trigger();
            ok = chat && waitFor([] { return Window<frmcanvas>::get() && Window<frmcanvas>::get()->isVisible(); });
        } else if (command == "draw") {
            ok = draw(QString(first).replace(u'-', u' '), rest.split(u' ', Qt::SkipEmptyParts));
        } else if (command == "drawing") {
            ok = waitFor([&] { return !(value = drawingDigest(first == "own")).isEmpty() && (rest.isEmpty() || value == rest); });
        } else if (command == "shoot") {
            QWidget *window = first == "main" ? static_cast<QWidget *>(main_)
                : first == "chat"             ? static_cast<QWidget *>(chat)
                : first == "canvas"           ? static_cast<QWidget *>(Window<frmcanvas>::get())
                                              : nullptr;
            ok = window && QTest::qWaitForWindowExposed(window) && window->grab().save(rest, "PNG");
        } else if (command == "state") {
            value = QString("active=%1 boxes=%2").arg(int(Globals::bPrivateChatActive)).arg(boxes_.shown.size());
        } else if (command == "wait-busy") {
            ok = waitFor([&] { return busyUsers() == arg; });
            value = ok ? QString() : busyUsers();
        } else if (!chat) {
            ok = false;
            value = "no private chat window";
        } else if (command == "send-file" || command == "send-picture") {
            pick_ = arg;
            (command == "send-file" ? chat->sendfile : chat->mnusendpicture)->trigger();
        } else if (command == "take-file" || command == "take-picture") {
            saveDir_ = arg;
            saved_.clear();
            OfferDialog *offer = nullptr;
            ok = waitFor([&] { return (offer = chat->findChild<OfferDialog *>()) && offer->isVisible(); });
            if (ok)
                offer->cmdAccept->click();
            if (command == "take-file") {
                ok = ok && waitFor([&] { return !saved_.isEmpty() && QFile::exists(saved_) && files_->transfers().count() == 0; });
                value = saved_;
            } else {
                ok = ok && waitFor([&] { return !files_->pictureWindows().isEmpty() && files_->pictureWindows().last()->isVisible(); });
                const QPixmap shown = ok ? files_->pictureWindows().last()->picture->pixmap() : QPixmap();
                value = QString("%1x%2").arg(shown.width()).arg(shown.height());
            }
        } else if (command == "type") {
            for (const QChar c : unescape(arg)) {
                const auto key = c == u'\n' ? Qt::Key_Return : c == u'\b' ? Qt::Key_Backspace : Qt::Key(0);
                if (key)
                    QTest::keyClick(chat->Txtsend, key);
                else
                    QTest::keyClick(chat->Txtsend, c.toLatin1());
            }
        } else if (command == "wait-recv") {
            ok = waitFor([&] { return chat->Txtrecv->toPlainText() == unescape(arg); });
            value = ok ? QString() : chat->Txtrecv->toPlainText();
        } else if (command == "find" || command == "save") {
            chat->activateWindow();
            ok = QTest::qWaitForWindowActive(chat);
            services().chooseSavePath = [&](QWidget *, const QString &) { return arg; };
            QTest::keyClick(chat->Txtsend, command == "find" ? Qt::Key_F : Qt::Key_S, Qt::ControlModifier);
            services().chooseSavePath = nullptr;
            if (FindBar *bar = chat->findChild<FindBar *>(); command == "find" && bar->isOpen()) {
                QTest::keyClicks(bar->field, arg);
                value = bar->status->text();
            }
        } else if (command == "close") {
            chat->mnuclconnection->trigger();
        } else if (command == "wait-status") {
            ok = waitFor([&] { return !chat->Text3->text().isEmpty(); });
            value = chat->Text3->text();
        } else {
            ok = false;
            value = "unknown command";
        }
        return QString(ok ? "ok" : "fail") + (value.isEmpty() ? QString() : ' ' + value);
    }

private:
    static bool draw(const QString &colour, const QStringList &points)
    {
        frmcanvas *canvas = Window<frmcanvas>::get();
        if (!canvas || points.isEmpty())
            return false;
        PaletteBox *box = nullptr;
        for (PaletteBox *b : canvas->picSelColor)
            box = b->colourName() == colour ? b : box;
        if (!box)
            return false;
        QTest::mouseClick(box, Qt::LeftButton);
        QList<QPoint> at;
        for (const QString &p : points)
            at << QPoint(p.section(u',', 0, 0).toInt(), p.section(u',', 1, 1).toInt());
        QTest::mousePress(canvas->Picdraw, Qt::LeftButton, {}, at.first());
        for (const QPoint &p : at.mid(1)) {
            QMouseEvent move(QEvent::MouseMove, QPointF(p), canvas->Picdraw->mapToGlobal(QPointF(p)),
                             Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(canvas->Picdraw, &move);
        }
        QTest::mouseRelease(canvas->Picdraw, Qt::LeftButton, {}, at.last());
        return true;
    }

    QString busyUsers() const
    {
        QStringList names;
        for (int i = 0; i < main_->lstusers->count(); ++i)
            if (isUserBusy(main_->lstusers, main_->lstusers->item(i)->text()))
                names << main_->lstusers->item(i)->text();
        return names.isEmpty() ? "-" : names.join(u',');
    }
    // A digest of the pixels of the canvas's own drawing area or of the partner's as it is shown.
    static QString drawingDigest(bool own)
    {
        frmcanvas *canvas = Window<frmcanvas>::get();
        if (!canvas)
            return {};
        const QImage image = (own ? canvas->Picdraw->image() : canvas->Picture2->grab().toImage())
                                 .convertToFormat(QImage::Format_RGB32);
        return QCryptographicHash::hash(QByteArrayView(image.constBits(), image.sizeInBytes()), QCryptographicHash::Md5)
            .toHex().left(12);
    }

    bool listed(const QString &name)
    {
        return waitFor([&] { return !main_->lstusers->findItems(name, Qt::MatchExactly).isEmpty(); });
    }
    bool select(const QString &name) // once listed
    {
        const bool ok = listed(name);
        main_->lstusers->setCurrentItem(main_->lstusers->findItems(name, Qt::MatchExactly).value(0));
        return ok;
    }

    FakeMessageBoxes boxes_;
    frmMain *main_;
    ChatFileTransfers *files_;
    QString pick_, saveDir_, saved_; // the file Send File picks; where an offer is saved
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Driver driver;

    QByteArray input;
    QSocketNotifier stdinReady(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&stdinReady, &QSocketNotifier::activated, &app, [&] {
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            QCoreApplication::exit(0);
            return;
        }
        input.append(chunk, n);
        stdinReady.setEnabled(false); // commands wait in nested event loops
        for (qsizetype end; (end = input.indexOf('\n')) >= 0;) {
            const QString line = QString::fromUtf8(input.left(end));
            input.remove(0, end + 1);
            const QString answer = driver.run(line.section(u' ', 0, 0), line.section(u' ', 1));
            std::fputs(qPrintable(answer + '\n'), stdout);
            std::fflush(stdout);
        }
        stdinReady.setEnabled(true);
    });
    return QApplication::exec();
}
