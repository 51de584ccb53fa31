// Fuzz target: the server message dispatcher of the real main window, offscreen.
//
// The input is split at its 0 bytes into server messages, which go one by one to
// frmMain::Socketmain_DataArrival, as the connection would deliver them. Nothing may crash, and
// after each message, read with the protocol library:
//   - the users list changes only by the names of an addition (appended) or a removal (every entry
//     of the first name), and is emptied by a refused login, which alone brings up a box;
//   - at most four joins are ever taken silently;
//   - a relayed request is handed over, fields unchanged, only when it cuts, validates and no
//     private chat is under way.
// (What the lines shown look like: the window and untrusted-input suites.) The relayed-request
// branch is not connected to the private chat windows here: they would open a connection to the
// address in the message.

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

QStringList users()
{
    QStringList names;
    for (int i = 0; i < window->lstusers->count(); ++i)
        names.append(window->lstusers->item(i)->text());
    return names;
}

void dispatchAndCheck(const QString &data)
{
    QStringList expectedUsers = users();
    const qsizetype takenBefore = taken.size(), boxesBefore = boxes->texts.size();
    const bool activeBefore = Globals::bPrivateChatActive;
    const qint16 silentBefore = Globals::nSilentJoins;

    window->Socketmain_DataArrival(data);
    QCoreApplication::sendPostedEvents(window->txtrx, QEvent::MetaCall); // the lines of this turn

    const SP::Kind kind = SP::classify(data);
    FUZZ_CHECK(Globals::nSilentJoins >= silentBefore && Globals::nSilentJoins <= 4);
    FUZZ_CHECK(boxes->texts.size() == boxesBefore + (kind == SP::Kind::LoginRefused));
    const auto request = kind == SP::Kind::Request ? SP::cutRequest(data) : std::nullopt;
    const bool handed = request && SP::isAcceptableRequest(*request) && !activeBefore;
    FUZZ_CHECK(taken.size() == takenBefore + (handed ? 1 : 0));
    if (handed)
        FUZZ_CHECK(taken.last() == fieldsOf(*request));
    const auto names = SP::cutUserList(data);
    if (kind == SP::Kind::LoginRefused)
        expectedUsers.clear();
    else if (kind == SP::Kind::UserAdded && names)
        expectedUsers += *names;
    else if (kind == SP::Kind::UserRemoved && names)
        expectedUsers.removeAll(names->first());
    FUZZ_CHECK(users() == expectedUsers);
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
