// The shared canvas: from a stroke drawn on one canvas to the partner's canvas repainting it, next
// to a keystroke in the same chat in the same run; and a burst of 10,000 segments.
//
// Two processes, as on two machines, joined over loopback by a peer link (PeerLink) wired as a
// connected PrivateChat wires it: the canvas (frmcanvas) through SharedCanvas, the typing through
// the private chat window (frmprivatechat). This process listens and shows; the child (this
// program with --artist) connects, accepts, and on each command from its stdin draws or types:
//   k   a key pressed in Txtsend                      s   a click and a short drag on Picdraw
//   b   10,000 mouse moves with the left button held, one turn of the event loop
// and writes "<started> <done>" (monotonic nanoseconds) a few ms later. Keys and strokes alternate
// 12 ms apart (so strokes come 24 ms apart, beyond one 16 ms frame of the partner's area). A
// keystroke is shown once the window's Txtrecv has grown after the message; a stroke once the
// partner's area (Picture2) receives its paint event. Both processes read the same monotonic clock.
// During the burst this process's event loop is watched by a 1 ms timer: the longest gap between
// two of its ticks is the longest stall.
#include "benchutil.h"

#include "Globals.h"
#include "MessageBoxes.h"
#include "Services.h"
#include "SharedCanvas.h"
#include "WindowRegistry.h"
#include "frmcanvas.h"
#include "frmprivatechat.h"
#include "peer/peerlink.h"

#include <QApplication>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTest>
#include <QTimer>

using namespace quillet;
namespace PP = quillet::PeerProtocol;

namespace {

constexpr int Samples = 300; // of each kind
constexpr int WarmUp = 30;
constexpr int PauseMs = 12;
constexpr int BurstSegments = 10'000;

using bench::nowNs;
using bench::pause;

// Waits in the event loop until `done` or `ms` have passed; whether `done`.
bool waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 1);
    return done();
}

// Both ends as a connected PrivateChat joins them: own strokes and keys to the link, the partner's
// strokes into the kept drawing, characters into Txtrecv.
struct Side
{
    frmprivatechat *chat = Window<frmprivatechat>::load();
    frmcanvas *canvas = Window<frmcanvas>::show();
    PeerLink link;
    SharedCanvas shared{[this](const QString &m) { link.send(m); }};

    Side()
    {
        shared.attach(canvas);
        QObject::connect(chat, &frmprivatechat::typed, &link, &PeerLink::send);
        QObject::connect(&link, &PeerLink::received, chat, [this](const PP::Message &m) {
            if (m.kind == PP::Kind::Character)
                chat->appendReceived(m.character);
            else if (m.kind == PP::Kind::Extension)
                shared.received(m.extension, m.body);
        });
        chat->show();
    }
};

int artist(quint16 port)
{
    Side side;
    side.link.connectTo(QStringLiteral("127.0.0.1"), port);
    if (!waitUntil([&] { return side.link.state() != PeerLink::State::Connecting; }, 10'000)
        || side.link.state() != PeerLink::State::Connected)
        return 1;
    side.link.send(PP::acceptReply());

    int stroke = 0;
    bench::onInputCommands([&](char command) {
        const qint64 started = nowNs();
        if (command == 'k') {
            QTest::keyClick(side.chat->Txtsend, char('a' + stroke % 26));
            if (side.chat->Txtsend->toPlainText().size() > 60)
                side.chat->Txtsend->clear();
        } else if (command == 's') {
            const QPointF at(10 + (stroke * 7) % 350, 10 + (stroke * 13) % 150);
            side.canvas->Picdraw_MouseDown(Qt::LeftButton, Qt::LeftButton, at);
            side.canvas->Picdraw_MouseMove(Qt::LeftButton, at + QPointF(5, 3));
        } else if (command == 'b') {
            for (int i = 0; i < BurstSegments; ++i)
                side.canvas->Picdraw_MouseMove(Qt::LeftButton, QPointF(i % 377, (i * 37) % 169));
        }
        ++stroke;
        bench::reportLater(3, started, nowNs());
    });
    return QCoreApplication::exec();
}

// Counts and times the paint events of a widget.
struct PaintWatch : QObject
{
    int painted = 0;
    qint64 lastNs = 0;
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            ++painted;
            lastNs = nowNs();
        }
        return false;
    }
};

struct Figures
{
    std::vector<double> keys, strokes; // microseconds
    int lost = 0;
    double burstSendMs = 0, burstShownMs = 0, longestStallMs = 0;
    int burstMessages = 0, burstRepaints = 0, burstSegments = 0;
};

Figures run(const QString &program)
{
    Figures f;
    Side side;
    if (!side.link.listen(0))
        return f;
    PaintWatch paints;
    side.canvas->Picture2->installEventFilter(&paints);
    int messages = 0, segments = 0, typed = 0;
    QObject::connect(&side.link, &PeerLink::received, [&](const PP::Message &m) {
        if (m.kind == PP::Kind::Character)
            ++typed;
        if (const auto s = StrokeMessages::parse(m.extension, m.body)) {
            ++messages;
            segments += int(s->segments.size());
        }
    });
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, {QStringLiteral("--artist"), QString::number(side.link.localPort())});
    if (!waitUntil([&] { return side.link.state() == PeerLink::State::Connected; }, 10'000)) {
        bench::say("canvas: the chat did not start");
        f.lost = 2 * Samples;
        return f;
    }
    pause(100);

    const auto sample = [&](char command, const std::function<bool()> &shown, const qint64 &shownNs) -> double {
        child.write(QByteArray(1, command) + '\n');
        if (!waitUntil([&] { return shown() && child.canReadLine(); }, 2'000))
            return -1;
        const qint64 started = child.readLine().trimmed().split(' ').value(0).toLongLong();
        return double(shownNs - started) / 1e3;
    };
    qint64 typedNs = 0;
    QObject::connect(&side.link, &PeerLink::received, [&] { typedNs = nowNs(); });
    for (int i = 0; i < WarmUp + Samples && f.lost == 0; ++i) {
        const int typedBefore = typed, paintedBefore = paints.painted;
        const double key = sample('k', [&] { return typed > typedBefore; }, typedNs);
        pause(PauseMs);
        const double stroke = sample('s', [&] { return paints.painted > paintedBefore; }, paints.lastNs);
        pause(PauseMs);
        if (key < 0 || stroke < 0)
            f.lost = WarmUp + Samples - i;
        else if (i >= WarmUp)
            f.keys.push_back(key), f.strokes.push_back(stroke);
        if (side.chat->Txtrecv->document()->characterCount() > 2000)
            side.chat->Txtrecv->clear();
    }

    // The burst, with the event loop watched.
    pause(100);
    messages = segments = 0;
    const int paintedBefore = paints.painted;
    QElapsedTimer sinceTick;
    sinceTick.start();
    qint64 longestNs = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestNs = std::max(longestNs, sinceTick.nsecsElapsed());
        sinceTick.restart();
    });
    ticker.start(1);
    pause(20);
    longestNs = 0;
    child.write("b\n");
    const bool all = waitUntil([&] { return segments >= BurstSegments && child.canReadLine(); }, 20'000);
    const qint64 lastArrived = nowNs();
    pause(50); // the last repaint
    ticker.stop();
    const QList<QByteArray> times = child.readLine().trimmed().split(' ');
    const qint64 started = times.value(0).toLongLong();
    f.burstSendMs = double(times.value(1).toLongLong() - started) / 1e6;
    f.burstShownMs = double(std::max(lastArrived, paints.lastNs) - started) / 1e6;
    f.longestStallMs = double(longestNs) / 1e6;
    f.burstMessages = messages;
    f.burstSegments = all ? segments : -segments;
    f.burstRepaints = paints.painted - paintedBefore;
    child.closeWriteChannel();
    if (!child.waitForFinished(5'000))
        child.kill();
    return f;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    Globals::reset();
    if (app.arguments().value(1) == QLatin1StringView("--artist"))
        return artist(quint16(app.arguments().value(2).toUInt()));

    bench::say("shared canvas: %d strokes and %d keys (after %d of each) alternating %d ms apart, between two "
               "processes over loopback, offscreen; then a burst of %d segments", Samples, Samples, WarmUp,
               PauseMs, BurstSegments);
    const Figures f = run(QCoreApplication::applicationFilePath());
    const auto p = [](const std::vector<double> &v, double q) { return bench::percentile(v, q); };
    bench::say("stroke to the partner's area repainting: p50 %.1f us, p99 %.1f us; %d lost", p(f.strokes, 50),
               p(f.strokes, 99), f.lost);
    bench::say("keystroke to the character shown (same run): p50 %.1f us, p99 %.1f us", p(f.keys, 50), p(f.keys, 99));
    bench::say("burst: %d segments drawn in %.1f ms on the sending side, in %d messages; all shown %.1f ms after the "
               "first was drawn, %d repaints of the partner's area, longest event-loop stall %.1f ms",
               f.burstSegments, f.burstSendMs, f.burstMessages, f.burstShownMs, f.burstRepaints, f.longestStallMs);
    bench::row("7 canvas stroke", bench::format("p99 %.0f us", p(f.strokes, 99)),
               bench::format("keystroke p99 %.0f us", p(f.keys, 99)),
               bench::format("%.2f", p(f.strokes, 99) / p(f.keys, 99)), "<= 5000 us",
               bench::yesNo(p(f.strokes, 99) <= 5000 && f.lost == 0));
    bench::row("7 canvas burst", bench::format("%d segments, stall %.1f ms", f.burstSegments, f.longestStallMs), "-",
               "-", "all, stall <= 50 ms", bench::yesNo(f.burstSegments == BurstSegments && f.longestStallMs <= 50));
    return 0;
}
