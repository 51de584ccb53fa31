// A scripted Quillet client for the end-to-end private chat test: the real client code (main
// window, login dialog, private chat windows) on the offscreen platform, driven by one command per
// line on stdin. Every command answers one line on stdout: "ok" with a value, or "fail" with what
// was found instead. Message boxes are recorded, not shown. In texts, \n stands for Enter (a line
// break), \b for Backspace and \\ for a backslash.
//
//   login NAME PORT        log in to 127.0.0.1:PORT; ok once NAME is in the users list
//   wait-user NAME         ok once NAME is in the users list
//   request NAME MESSAGE   "&Private Chat" for NAME, then "Request" with MESSAGE
//   wait-incoming          ok REQUESTER|MESSAGE once the incoming-request dialog is up
//   accept                 "&Accept" in that dialog
//   wait-shown             ok PARTNER once the private chat window is shown
//   type TEXT              key presses into Txtsend
//   wait-recv TEXT         ok once Txtrecv shows exactly TEXT
//   close                  "Close Connection"
//   wait-status            ok STATUS once the status row of the chat window says something
//   state                  ok active=0|1 boxes=N
//   quit
#include "ClientTestSupport.h"
#include "Globals.h"
#include "frmMain.h"
#include "frmchat.h"
#include "frmprivatechat.h"
#include "frmreqchat.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>

#include <unistd.h>

#include <cstdio>

using namespace quillet;
using namespace quillet::test;

namespace {

QString unescape(const QString &text)
{
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const QChar next = text[++i];
        out += next == u'n' ? QChar(u'\n') : next == u'b' ? QChar(u'\b') : next;
    }
    return out;
}

QString escape(QString text)
{
    return text.replace(u'\\', QStringLiteral("\\\\")).replace(u'\n', QStringLiteral("\\n"));
}

bool waitFor(const std::function<bool()> &condition)
{
    return QTest::qWaitFor(condition, 20000);
}

class Driver
{
public:
    Driver()
    {
        main_ = startMainWindow();
        connectPrivateChat(main_);
        main_->show();
    }

    // Runs one command; returns its answer line, or an empty string for "quit".
    QString run(const QString &line)
    {
        const QString command = line.section(u' ', 0, 0);
        const QString rest = line.section(u' ', 1);
        const auto result = [](bool ok, const QString &value = {}) {
            return QString(ok ? "ok" : "fail") + (value.isEmpty() ? QString() : ' ' + value);
        };
        frmprivatechat *chat = Window<frmprivatechat>::get();

        if (command == "login") {
            connectThroughDialog(main_, {rest.section(u' ', 0, 0), "pw", "127.0.0.1", rest.section(u' ', 1, 1)});
            return result(hasUser(rest.section(u' ', 0, 0)));
        }
        if (command == "wait-user")
            return result(hasUser(rest));
        if (command == "request") {
            const auto found = main_->lstusers->findItems(rest.section(u' ', 0, 0), Qt::MatchExactly);
            main_->lstusers->setCurrentItem(found.value(0));
            main_->mnupchat->trigger();
            frmreqchat *dialog = Window<frmreqchat>::get();
            if (!dialog)
                return result(false, "no request dialog");
            dialog->Text1->setText(rest.section(u' ', 1));
            dialog->Cmdrequest->click();
            return result(true);
        }
        if (command == "wait-incoming") {
            const bool up = waitFor([] { return Window<frmchat>::get() != nullptr; });
            return up ? result(true, Window<frmchat>::get()->Label1->text() + '|'
                                         + Window<frmchat>::get()->Label4->text())
                      : result(false);
        }
        if (command == "accept") {
            if (!Window<frmchat>::get())
                return result(false, "no incoming request");
            Window<frmchat>::get()->Cmdrequest->click();
            return result(true);
        }
        if (command == "wait-shown") {
            const bool shown = waitFor([] {
                return Window<frmprivatechat>::get() && Window<frmprivatechat>::get()->isVisible();
            });
            return result(shown, shown ? Window<frmprivatechat>::get()->Label2->text() : QString());
        }
        if (!chat && command != "state" && command != "quit")
            return result(false, "no private chat window");
        if (command == "type") {
            for (const QChar c : unescape(rest)) {
                if (c == u'\n')
                    QTest::keyClick(chat->Txtsend, Qt::Key_Return);
                else if (c == u'\b')
                    QTest::keyClick(chat->Txtsend, Qt::Key_Backspace);
                else
                    QTest::keyClick(chat->Txtsend, c.toLatin1());
            }
            return result(true);
        }
        if (command == "wait-recv") {
            const QString expected = unescape(rest);
            const bool seen = waitFor([&] { return chat->Txtrecv->toPlainText() == expected; });
            return result(seen, seen ? QString() : escape(chat->Txtrecv->toPlainText()));
        }
        if (command == "close") {
            chat->mnuclconnection->trigger();
            return result(true);
        }
        if (command == "wait-status") {
            const bool said = waitFor([&] { return !chat->Text3->text().isEmpty(); });
            return result(said, chat->Text3->text());
        }
        if (command == "state")
            return result(true, QString("active=%1 boxes=%2")
                                    .arg(int(Globals::bPrivateChatActive))
                                    .arg(boxes_.shown.size()));
        if (command == "quit")
            return {};
        return result(false, "unknown command");
    }

private:
    bool hasUser(const QString &name)
    {
        return waitFor([&] { return !main_->lstusers->findItems(name, Qt::MatchExactly).isEmpty(); });
    }

    FakeMessageBoxes boxes_;
    frmMain *main_;
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
            const QString answer = driver.run(line);
            if (answer.isEmpty()) {
                QCoreApplication::exit(0);
                return;
            }
            std::fputs(qPrintable(answer + '\n'), stdout);
            std::fflush(stdout);
        }
        stdinReady.setEnabled(true);
    });
    return QApplication::exec();
}
