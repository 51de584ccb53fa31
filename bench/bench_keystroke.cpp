// Keystroke mirroring: from a key press in one private chat window's entry box to the character
// shown in the partner's window.
//
// Two real private chat windows (frmprivatechat), each in its own process as on two machines,
// joined over loopback by a peer link (PeerLink) wired to its window as a connected PrivateChat
// wires them (typed -> send; received -> appendReceived): this process's link listens, as the
// requesting side's does, and a child process (this program with --typist) connects and accepts
// the chat. Each sample: this process tells the typist (over its stdin) to press a key; the typist
// notes the time and calls QTest::keyClick on its Txtsend; the window sends the keystroke message.
// This process notes the time once its window has handled the message that brought it and the
// character stands in Txtrecv. Both processes read the same monotonic clock. Keys are 12 ms
// apart, so that repaints (which the platform schedules on a timer of about 5 ms) happen between
// samples.
//
// Baseline in the same run, taken in the gaps between the keys: a raw socket ping of one byte over
// loopback TCP: one thread sends a byte and blocks until an echo thread has sent it back. The
// one-way time of a byte from one thread to another blocked in recv is printed too, for reference.
#include "benchutil.h"

#include "Globals.h"
#include "MessageBoxes.h"
#include "Services.h"
#include "WindowRegistry.h"
#include "frmprivatechat.h"
#include "peer/peerlink.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QTest>
#include <QTextCursor>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

using namespace quillet;
namespace PP = quillet::PeerProtocol;

namespace {

constexpr int Samples = 600;
constexpr int WarmUp = 50;
constexpr int PauseMs = 4; // three pauses between keys (ping, one-way, rest): 12 ms, 80 keys a second
constexpr int ReportDelayMs = 3; // the typist reports its times this long after the key

using bench::nowNs;
using bench::pause;

// Records message boxes instead of showing them (none is expected).
class SilentBoxes final : public MessageBoxes
{
public:
    void show(QWidget *, const QString &text, const QString &, BoxIcon) override
    {
        std::fprintf(stderr, "keystroke: message box: %s\n", qPrintable(text));
    }
};

// --- The typist (child process) ------------------------------------------------------------------

// Connects a private chat window to the shown side on `port`, accepts the chat, and then reads
// one key per line from stdin ("a\n"; "#\n" clears the entry box); for each key it writes
// "<pressed> <key handled>" (monotonic nanoseconds) to stdout, ReportDelayMs after the key.
int typist(quint16 port)
{
    frmprivatechat *w = Window<frmprivatechat>::load();
    PeerLink link;
    QObject::connect(w, &frmprivatechat::typed, &link, &PeerLink::send);
    link.connectTo(QStringLiteral("127.0.0.1"), port);
    w->show();
    w->activateWindow();
    w->Txtsend->setFocus();
    QEventLoop connecting;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (link.state() != PeerLink::State::Connecting)
            connecting.quit();
    });
    poll.start(2);
    connecting.exec();
    if (link.state() != PeerLink::State::Connected)
        return 1;
    link.send(PP::acceptReply());

    bench::onInputCommands([w](char command) {
        if (command == '#') {
            w->Txtsend->clear();
            return;
        }
        const qint64 pressed = nowNs();
        QTest::keyClick(w->Txtsend, command);
        bench::reportLater(ReportDelayMs, pressed, nowNs());
    });
    return QCoreApplication::exec();
}

// --- The shown side (this process) -----------------------------------------------------------------

// Watches the peer link: connected after the window's own handler, so each message is noted once
// the window has appended what came.
class Watch : public QObject
{
public:
    Watch(frmprivatechat *w, PeerLink *link) : w_(w)
    {
        connect(link, &PeerLink::received, this, [this] {
            const int length = w_->Txtrecv->document()->characterCount();
            if (length != lastLength_) {
                lastLength_ = length;
                shownNs = nowNs();
                ++shown;
            }
        });
    }
    void reset() { lastLength_ = w_->Txtrecv->document()->characterCount(); }
    int shown = 0;
    qint64 shownNs = 0; // the window has appended the character

private:
    frmprivatechat *w_;
    int lastLength_ = 0;
};

struct Figures
{
    double p50 = 0, p99 = 0, max = 0; // microseconds
    int lost = 0;
};

Figures summarize(const std::vector<double> &micros, int lost)
{
    return {bench::percentile(micros, 50), bench::percentile(micros, 99),
            micros.empty() ? 0 : *std::max_element(micros.begin(), micros.end()), lost};
}

// Medians of where a keystroke's time goes, microseconds from the key press.
struct Stages
{
    std::vector<double> keyHandled;
};

// --- Raw sockets -------------------------------------------------------------------------------

struct Pair
{
    int a = -1, b = -1;
};

Pair loopbackPair()
{
    const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listening, reinterpret_cast<sockaddr *>(&address), length);
    ::listen(listening, 1);
    ::getsockname(listening, reinterpret_cast<sockaddr *>(&address), &length);
    Pair pair;
    pair.a = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(pair.a, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        std::perror("ping: connect");
    pair.b = ::accept(listening, nullptr, nullptr);
    ::close(listening);
    return pair;
}

// A raw ping: this thread sends one byte and blocks until an echo thread has sent it back.
class RawPing
{
public:
    RawPing()
        : pair_(loopbackPair())
        , echo_([this] {
            char byte;
            while (::recv(pair_.b, &byte, 1, 0) == 1)
                if (::send(pair_.b, &byte, 1, MSG_NOSIGNAL) != 1)
                    break;
        })
    {
    }
    ~RawPing()
    {
        ::shutdown(pair_.a, SHUT_RDWR);
        echo_.join();
        ::close(pair_.a);
        ::close(pair_.b);
    }
    // Microseconds there and back; negative on failure.
    double once(char byte)
    {
        char back = 0;
        const auto start = bench::Clock::now();
        if (::send(pair_.a, &byte, 1, MSG_NOSIGNAL) != 1 || ::recv(pair_.a, &back, 1, 0) != 1 || back != byte)
            return -1;
        return bench::microsBetween(start, bench::Clock::now());
    }

private:
    Pair pair_;
    std::thread echo_;
};

// For reference: one byte one way, from this thread to another blocked in recv.
class RawOneWay
{
public:
    RawOneWay()
        : pair_(loopbackPair())
        , reader_([this] {
            char byte;
            while (::recv(pair_.b, &byte, 1, 0) == 1)
                received_ = nowNs();
        })
    {
    }
    ~RawOneWay()
    {
        ::shutdown(pair_.a, SHUT_RDWR);
        reader_.join();
        ::close(pair_.a);
        ::close(pair_.b);
    }
    double once(char byte)
    {
        received_ = 0;
        const qint64 start = nowNs();
        if (::send(pair_.a, &byte, 1, MSG_NOSIGNAL) != 1)
            return -1;
        while (received_.load() == 0)
            std::this_thread::yield();
        return double(received_.load() - start) / 1e3;
    }

private:
    Pair pair_;
    std::atomic<qint64> received_{0};
    std::thread reader_;
};

Figures keystrokes(const QString &program, Stages &stages, std::vector<double> &pings, std::vector<double> &oneWays)
{
    // The requesting side's window listens; the typist's window connects and accepts.
    frmprivatechat *w = Window<frmprivatechat>::load();
    PeerLink link;
    if (!link.listen(0)) {
        bench::say("keystroke: cannot listen");
        return {0, 0, 0, Samples};
    }
    QObject::connect(&link, &PeerLink::received, w, [w](const PP::Message &m) {
        if (m.kind == PP::Kind::Accept)
            w->show();
        else if (m.kind == PP::Kind::Character)
            w->appendReceived(m.character);
    });
    Watch watch(w, &link);

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, {QStringLiteral("--typist"), QString::number(link.localPort())});
    QEventLoop connecting;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (w->isVisible() || child.state() == QProcess::NotRunning)
            connecting.quit(); // the window shows itself when the answer is an acceptance
    });
    poll.start(5);
    QTimer::singleShot(10'000, &connecting, &QEventLoop::quit);
    connecting.exec();
    poll.stop();
    if (!w->isVisible() || link.state() != PeerLink::State::Connected) {
        bench::say("keystroke: the chat did not start");
        return {0, 0, 0, Samples};
    }
    pause(50);
    watch.reset();

    RawPing rawPing;
    RawOneWay rawOneWay;
    std::vector<double> micros;
    int lost = 0;
    for (int i = 0; i < WarmUp + Samples; ++i) {
        const int before = watch.shown;
        const std::string command = std::string(1, char('a' + i % 26)) + '\n';
        child.write(command.data(), qint64(command.size()));
        QEventLoop loop;
        auto done = [&] {
            if (watch.shown > before && child.canReadLine())
                loop.quit();
        };
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        QObject::connect(&child, &QProcess::readyReadStandardOutput, &loop, done);
        QObject::connect(&link, &PeerLink::received, &loop,
                         [&] { QMetaObject::invokeMethod(&loop, done, Qt::QueuedConnection); });
        timeout.start(2'000);
        loop.exec();
        if (watch.shown == before || !child.canReadLine()) {
            // The chat is broken, or hopelessly slow: what is left counts as lost.
            bench::say("  key %d not shown within 2 s; stopping", i);
            lost = WarmUp + Samples - i;
            break;
        }
        const QList<QByteArray> times = child.readLine().trimmed().split(' ');
        const qint64 pressed = times.value(0).toLongLong();
        if (i >= WarmUp) {
            micros.push_back(double(watch.shownNs - pressed) / 1e3);
            stages.keyHandled.push_back(double(times.value(1).toLongLong() - pressed) / 1e3);
        }
        // Keep the boxes short, as a user's line would be.
        if (i % 60 == 59) {
            child.write("#\n");
            w->Txtrecv->clear();
            watch.reset();
        }
        // The baselines, in the gap between two keys: the same machine, the same moment.
        pause(PauseMs);
        const double ping = rawPing.once(char('a' + i % 26));
        pause(PauseMs);
        const double oneWay = rawOneWay.once(char('a' + i % 26));
        if (i >= WarmUp) {
            pings.push_back(ping); // negative: that ping failed
            oneWays.push_back(oneWay);
        }
        pause(PauseMs);
    }
    child.closeWriteChannel();
    if (!child.waitForFinished(5'000))
        child.kill();
    link.close();
    w->close();
    return summarize(micros, lost);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SilentBoxes boxes;
    services().boxes = &boxes;
    Globals::reset();
    if (app.arguments().value(1) == QLatin1StringView("--typist"))
        return typist(quint16(app.arguments().value(2).toUInt()));

    bench::say("keystroke mirroring: %d keys (after %d warm-up keys) %d ms apart, between two private chat windows "
               "in two processes over loopback, offscreen",
               Samples, WarmUp, 3 * PauseMs);
    Stages stages;
    std::vector<double> pings, oneWays;
    const Figures k = keystrokes(QCoreApplication::applicationFilePath(), stages, pings, oneWays);
    const int pingsLost = int(std::erase_if(pings, [](double v) { return v < 0; }));
    std::erase_if(oneWays, [](double v) { return v < 0; });
    const Figures p = summarize(pings, pingsLost);
    const Figures oneWay = summarize(oneWays, 0);
    bench::say("key press to character shown: p50 %.1f us, p99 %.1f us, max %.1f us, %d lost", k.p50, k.p99, k.max,
               k.lost);
    bench::say("  median time until the typist's own window had handled the key: %.1f us",
               bench::median(stages.keyHandled));
    bench::say("raw ping (one byte there and back): p50 %.1f us, p99 %.1f us, max %.1f us, %d failed", p.p50, p.p99,
               p.max, p.lost);
    bench::say("raw one way, thread to thread (reference): p50 %.1f us, p99 %.1f us", oneWay.p50, oneWay.p99);
    const double ratio = k.p50 / p.p50;
    bench::row("3 keystroke", bench::format("p99 %.0f us", k.p99), bench::format("ping p99 %.0f us", p.p99), "-",
               "<= 2000 us", bench::yesNo(k.p99 <= 2000 && k.lost == 0));
    bench::row("3 keystroke", bench::format("p50 %.0f us", k.p50), bench::format("ping p50 %.0f us", p.p50),
               bench::format("%.2f", ratio), "<= 3", bench::yesNo(ratio <= 3 && k.lost == 0));
    return 0;
}
