// Fuzz target: the server message dispatcher of the real main window, offscreen.
//
// The input is split at its 0 bytes into server messages, which go one by one to
// frmMain::Socketmain_DataArrival, as the connection would deliver them. After each one the window
// must show exactly what the message says, read with the protocol library:
//   - a room message that can be cut adds exactly one line: "NAME : TEXT" (or TEXT alone for a
//     server notice) character for character, line breaks shown as blanks, markup-looking text
//     shown as it is; a message that cannot be cut adds nothing (colours and styles: the window
//     suite);
//   - a user-list addition appends its names to lstusers, literally and in order, with a join
//     notice for each name that was not taken silently; a removal takes every entry of that name
//     out, with one notice each;
//   - a relayed request is taken (its fields in Globals) only when it cuts, validates and no
//     private chat is under way; otherwise Globals stay as they were;
//   - the login answer refuses with the one box, or changes nothing; busy and free change nothing.
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
#include <QTextDocument>

namespace SP = quillet::ServerProtocol;
namespace Globals = quillet::Globals;
using quillet::frmMain;

namespace {

struct RecordedBoxes final : quillet::MessageBoxes
{
    void show(QWidget *, const QString &text, const QString &, quillet::BoxIcon) override
    {
        texts.append(text);
    }
    QStringList texts;
};

frmMain *window = nullptr;
RecordedBoxes *boxes = nullptr;

QString oneLine(QString text)
{
    for (QChar &c : text)
        if (c == u'\n' || c == u'\r' || c == QChar::LineSeparator || c == QChar::ParagraphSeparator)
            c = u' ';
    return text;
}

// The lines of the message window; every line ends with a line break, so the last block is empty.
int lineCount()
{
    return window->txtrx->document()->blockCount() - 1;
}

QString line(int i)
{
    return window->txtrx->document()->findBlockByNumber(i).text();
}

QStringList users()
{
    QStringList names;
    for (int i = 0; i < window->lstusers->count(); ++i)
        names.append(window->lstusers->item(i)->text());
    return names;
}

struct RequestFields
{
    QString message, address, port, user;
    bool active;
    bool operator==(const RequestFields &) const = default;
};

// The last request the window handed over (a private chat takes it and sets the flag).
RequestFields lastTaken;

RequestFields requestGlobals()
{
    RequestFields fields = lastTaken;
    fields.active = Globals::bPrivateChatActive;
    return fields;
}

void dispatchAndCheck(const QString &data)
{
    const int linesBefore = lineCount();
    const QStringList usersBefore = users();
    const RequestFields requestBefore = requestGlobals();
    const qint16 silentBefore = Globals::nSilentJoins;
    const qsizetype boxesBefore = boxes->texts.size();

    window->Socketmain_DataArrival(data);
    QCoreApplication::sendPostedEvents(window->txtrx, QEvent::MetaCall); // the lines of this turn

    const int added = lineCount() - linesBefore;
    const QStringList usersAfter = users();
    const SP::Kind kind = SP::classify(data);
    FUZZ_CHECK(Globals::nSilentJoins >= silentBefore && Globals::nSilentJoins <= 4);
    if (kind != SP::Kind::LoginRefused)
        FUZZ_CHECK(boxes->texts.size() == boxesBefore);
    if (kind != SP::Kind::Request)
        FUZZ_CHECK(requestGlobals() == requestBefore);

    switch (kind) {
    case SP::Kind::LoginAccepted:
    case SP::Kind::UserBusy:
    case SP::Kind::UserFree:
        FUZZ_CHECK(added == 0 && usersAfter == usersBefore);
        break;

    case SP::Kind::LoginRefused:
        FUZZ_CHECK(added == 0 && usersAfter.isEmpty());
        FUZZ_CHECK(boxes->texts.size() == boxesBefore + 1);
        FUZZ_CHECK(boxes->texts.last() == frmMain::LoginRefusedText);
        break;

    case SP::Kind::UserAdded: {
        const QStringList names = SP::cutUserList(data).value_or(QStringList());
        FUZZ_CHECK(usersAfter == usersBefore + names);
        // Each name is either taken silently or announced, in the order of the list.
        const int silent = Globals::nSilentJoins - silentBefore;
        FUZZ_CHECK(added == names.size() - silent);
        qsizetype next = 0;
        for (int i = 0; i < added; ++i) {
            while (next < names.size()
                   && line(linesBefore + i) != oneLine(names.at(next)) + QStringLiteral(" joined the room. "))
                ++next;
            FUZZ_CHECK(next < names.size());
            ++next;
        }
        break;
    }

    case SP::Kind::UserRemoved: {
        const auto names = SP::cutUserList(data);
        if (!names) {
            FUZZ_CHECK(added == 0 && usersAfter == usersBefore);
            break;
        }
        const QString &name = names->first();
        QStringList expected = usersBefore;
        const qsizetype removed = expected.removeAll(name);
        FUZZ_CHECK(usersAfter == expected);
        FUZZ_CHECK(added == removed);
        for (int i = 0; i < added; ++i)
            FUZZ_CHECK(line(linesBefore + i) == oneLine(name) + QStringLiteral(" has left the room. "));
        break;
    }

    case SP::Kind::Request: {
        FUZZ_CHECK(added == 0 && usersAfter == usersBefore);
        const auto request = SP::cutRequest(data);
        if (request && SP::isAcceptableRequest(*request) && !requestBefore.active)
            FUZZ_CHECK(requestGlobals()
                       == (RequestFields{request->message, request->address, request->port,
                                         request->user, true}));
        else
            FUZZ_CHECK(requestGlobals() == requestBefore);
        break;
    }

    case SP::Kind::Room: {
        FUZZ_CHECK(usersAfter == usersBefore);
        const auto room = SP::cutRoomMessage(data);
        if (!room) {
            FUZZ_CHECK(added == 0);
            break;
        }
        FUZZ_CHECK(added == 1);
        const QString prefix = room->serverNotice ? QString() : oneLine(room->name) + QStringLiteral(" : ");
        FUZZ_CHECK(line(linesBefore) == prefix + oneLine(room->text));

        break;
    }
    }
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
        lastTaken = {request.message, request.address, request.port, request.user, true};
        Globals::bPrivateChatActive = true;
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
