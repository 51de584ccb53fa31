// Fuzz target: the server message dispatcher of the real main window, offscreen.
//
// The input is split at its 0 bytes into server messages, which go one by one to
// frmMain::Socketmain_DataArrival, as the connection would deliver them. After each one the window
// must show exactly what the message says, read with the protocol library:
//   - a room message that can be cut adds exactly one line: "NAME : TEXT" (or TEXT alone for a
//     server notice) character for character, line breaks shown as blanks; one that cannot be cut
//     adds nothing (colours and styles: the window suite);
//   - a user-list addition appends its names to lstusers, literally and in order, with a join
//     notice for each name not taken silently; a removal takes every entry of that name out, with
//     one notice each;
//   - a relayed request is handed over only when it cuts, validates and no private chat is under
//     way; the login answer refuses with the one box; nothing else shows anything.
// The relayed-request branch is not connected to the private chat windows here: they would open a
// connection to the address in the message.

#include "Globals.h"
#include "MessageBoxes.h"
#include "Services.h"
#include "WindowRegistry.h"
#include "frmMain.h"
#include "fuzzcheck.h"
#include "serverprotocol.h"

#include <QApplication>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QTextBlock>

namespace SP = quillet::ServerProtocol;
namespace Globals = quillet::Globals;
using quillet::frmMain;

namespace {

struct RecordedBoxes final : quillet::MessageBoxes
{
    void show(QWidget *, const QString &text, const QString &, quillet::BoxIcon) override { texts.append(text); }
    QStringList texts;
};

frmMain *window = nullptr;
RecordedBoxes *boxes = nullptr;
QStringList taken; // the fields of every request handed over

QString fieldsOf(const SP::Request &r)
{
    return QStringList{r.message, r.address, r.port, r.user}.join(u'\n');
}

QString oneLine(QString text)
{
    for (QChar &c : text)
        if (c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = u' ';
    return text;
}

// The message window's lines from `from` on; every line ends with a line break.
QStringList linesFrom(int from)
{
    QStringList lines;
    for (QTextBlock b = window->txtrx->document()->findBlockByNumber(from); b.isValid() && b.next().isValid(); b = b.next())
        lines << b.text();
    return lines;
}

QStringList users()
{
    QStringList names;
    for (int i = 0; i < window->lstusers->count(); ++i)
        names.append(window->lstusers->item(i)->text());
    return names;
}

void dispatchAndCheck(const QString &data)
{
    const int lineCount = window->txtrx->document()->blockCount() - 1;
    const QStringList usersBefore = users();
    const qsizetype takenBefore = taken.size(), boxesBefore = boxes->texts.size();
    const bool activeBefore = Globals::bPrivateChatActive;
    const qint16 silentBefore = Globals::nSilentJoins;

    window->Socketmain_DataArrival(data);
    QCoreApplication::sendPostedEvents(window->txtrx, QEvent::MetaCall); // the lines of this turn

    const QStringList added = linesFrom(lineCount);
    const SP::Kind kind = SP::classify(data);
    FUZZ_CHECK(Globals::nSilentJoins >= silentBefore && Globals::nSilentJoins <= 4);
    FUZZ_CHECK(boxes->texts.size() == boxesBefore + (kind == SP::Kind::LoginRefused));
    const auto request = kind == SP::Kind::Request ? SP::cutRequest(data) : std::nullopt;
    const bool handed = request && SP::isAcceptableRequest(*request) && !activeBefore;
    FUZZ_CHECK(taken.size() == takenBefore + (handed ? 1 : 0));
    if (handed)
        FUZZ_CHECK(taken.last() == fieldsOf(*request));

    QStringList expectedUsers = usersBefore;
    QStringList expectedLines;
    if (kind == SP::Kind::LoginRefused) {
        FUZZ_CHECK(boxes->texts.last() == frmMain::LoginRefusedText);
        expectedUsers.clear();
    } else if (kind == SP::Kind::UserAdded) {
        // Each name is either taken silently or announced, in the order of the list.
        const QStringList names = SP::cutUserList(data).value_or(QStringList());
        expectedUsers += names;
        FUZZ_CHECK(added.size() == names.size() - (Globals::nSilentJoins - silentBefore));
        qsizetype next = 0;
        for (const QString &line : added) {
            while (next < names.size() && line != oneLine(names.at(next)) + QStringLiteral(" joined the room. "))
                ++next;
            FUZZ_CHECK(next++ < names.size());
        }
        expectedLines = added;
    } else if (kind == SP::Kind::UserRemoved) {
        if (const auto names = SP::cutUserList(data))
            expectedLines = QStringList(expectedUsers.removeAll(names->first()),
                                        oneLine(names->first()) + QStringLiteral(" has left the room. "));
    } else if (kind == SP::Kind::Room) {
        if (const auto room = SP::cutRoomMessage(data))
            expectedLines << (room->serverNotice ? QString() : oneLine(room->name) + QStringLiteral(" : ")) + oneLine(room->text);
    }
    FUZZ_CHECK(users() == expectedUsers);
    FUZZ_CHECK(added == expectedLines);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_dispatcher";
    static char *argv[] = {name, nullptr};
    new QApplication(argc, argv);
    boxes = new RecordedBoxes;
    quillet::services().boxes = boxes;
    quillet::services().endProgram = [] {};
    Globals::reset();
    window = quillet::Window<frmMain>::load();
    QObject::connect(window, &frmMain::RequestTaken, [](const SP::Request &request) {
        taken << fieldsOf(request);
        Globals::bPrivateChatActive = true; // as the private chat does
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Every input starts from a fresh window: empty message window and users list, new Globals.
    window->txtrx->clear();
    window->lstusers->clear();
    boxes->texts.clear();
    const QString firstRun = Globals::sFirstRun;
    Globals::reset();
    Globals::sFirstRun = firstRun;
    for (const QString &message : quillet::fuzz::latin1Pieces(data, size))
        dispatchAndCheck(message);
    return 0;
}
