// Keystroke mirroring: from a key press in one entry box to the character shown in the other.
//
// Two endpoints of a private chat, each in its own process as on two machines, joined over
// loopback by the client's peer layer (quillet::PeerSocket): this process listens and shows, a
// child process (this program with --typist) connects and types.
//   - The typist's entry box is a QPlainTextEdit whose key presses go out as peer protocol
//     keystroke messages (PeerProtocol::keystroke, framed with its 0 byte), as the private chat
//     window's entry box does; the box then shows the key itself, as usual.
//   - The shown side splits what arrives (PeerProtocol::Framer), classifies it and appends the
//     character at the end of its own QPlainTextEdit, moving the caret and keeping it in view, as
//     the private chat window does.
// Each sample: this process tells the typist (over its stdin) to press a key; the typist notes
// the time and calls QTest::keyClick; this process notes the time at which the character has been
// appended. Both read the same monotonic clock. Keys follow each other 12 ms apart, so that
// repaints (which the platform schedules on a timer of about 5 ms) happen between samples.
//
// Baseline in the same run, taken in the gaps between the keys: a raw socket ping of one byte over
// loopback TCP: one thread sends a byte and blocks until an echo thread has sent it back. The
// one-way time of a byte from one thread to another blocked in recv is printed too, for reference.
#include "benchutil.h"

#include "peerprotocol.h"
#include "peersocket.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSocketNotifier>
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
constexpr int KeyGapMs = 8; // three such pauses between keys: about 80 keys a second

qint64 nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(bench::Clock::now().time_since_epoch()).count();
}

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// --- The typist (child process) ------------------------------------------------------------------

// Key presses in the entry box go to the partner, as in the private chat window.
class Sending : public QObject
{
public:
    Sending(QPlainTextEdit *entry, PeerSocket *socket) : socket_(socket) { entry->installEventFilter(this); }
    qint64 handedOverNs = 0; // the last keystroke message went to the peer layer

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyPress && socket_->State() == PeerSocket::SocketState::Connected) {
            const auto *key = static_cast<const QKeyEvent *>(event);
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)
                send(PP::keystroke(13));
            else if (key->key() == Qt::Key_Backspace)
                send(PP::keystroke(8));
            else if (key->key() != Qt::Key_Delete)
                for (const QChar c : key->text())
                    send(PP::keystroke(c.unicode()));
        }
        return QObject::eventFilter(watched, event); // the entry box shows the key as usual
    }

private:
    void send(const QString &message)
    {
        if (message.isEmpty())
            return;
        socket_->SendData(QString::fromLatin1(PP::frame(message)));
        handedOverNs = nowNs();
    }
    PeerSocket *socket_;
};

// Reads one key per line from stdin ("a\n"; "c\n" clears the entry box); for each key writes
// "<pressed> <handed over> <key handled>" (monotonic nanoseconds) to stdout.
int typist(quint16 port)
{
    PeerSocket socket;
    socket.setRemoteHost(QStringLiteral("127.0.0.1"));
    socket.setRemotePort(port);
    QEventLoop connecting;
    QObject::connect(&socket, &PeerSocket::Connected, &connecting, &QEventLoop::quit);
    QObject::connect(&socket, &PeerSocket::Error, &connecting, &QEventLoop::quit);
    socket.Connect();
    connecting.exec();
    if (socket.State() != PeerSocket::SocketState::Connected)
        return 1;

    QPlainTextEdit entry;
    entry.resize(300, 200);
    entry.show();
    entry.activateWindow();
    entry.setFocus();
    Sending sending(&entry, &socket);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, size_t(n));
        size_t end;
        while ((end = pending.find('\n')) != std::string::npos) {
            const char command = pending[0];
            pending.erase(0, end + 1);
            if (command == '#') {
                entry.clear();
                continue;
            }
            const qint64 pressed = nowNs();
            QTest::keyClick(&entry, command);
            const qint64 handled = nowNs();
            const std::string report = std::to_string(pressed) + ' ' + std::to_string(sending.handedOverNs) + ' '
                                     + std::to_string(handled) + '\n';
            [[maybe_unused]] const ssize_t w = ::write(STDOUT_FILENO, report.data(), report.size());
        }
    });
    return QCoreApplication::exec();
}

// --- The shown side (this process) -----------------------------------------------------------------

// Every character message is appended to the partner's box, as in the private chat window.
class Receiving : public QObject
{
public:
    Receiving(QPlainTextEdit *box, PeerSocket *socket) : box_(box), socket_(socket)
    {
        connect(socket, &PeerSocket::DataArrival, this, &Receiving::onData);
    }
    int shown = 0;
    qint64 arrivedNs = 0; // the peer layer raised DataArrival
    qint64 shownNs = 0;   // the character was appended

private:
    void onData(qint64 total)
    {
        arrivedNs = nowNs();
        QString data;
        socket_->GetData(data, total);
        for (const QByteArray &bytes : framer_.feed(data.toLatin1())) {
            const PP::Message message = PP::classify(PP::decode(bytes));
            if (message.kind != PP::Kind::Character)
                continue;
            QTextCursor caret = box_->textCursor();
            caret.movePosition(QTextCursor::End);
            caret.insertText(message.character == u'\n' ? QStringLiteral("\n") : QString(message.character));
            box_->setTextCursor(caret);
            box_->ensureCursorVisible();
            shownNs = nowNs();
            ++shown;
        }
    }
    QPlainTextEdit *box_;
    PeerSocket *socket_;
    PP::Framer framer_;
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
    std::vector<double> handedOver, keyHandled, arrived;
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
    PeerSocket listener;
    listener.setLocalPort(0);
    if (!listener.Listen()) {
        bench::say("keystroke: cannot listen");
        return {0, 0, 0, Samples};
    }
    QObject::connect(&listener, &PeerSocket::ConnectionRequest, [&](qint32 id) { listener.Accept(id); });

    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(program, {QStringLiteral("--typist"), QString::number(listener.LocalPort())});
    QEventLoop connecting;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (listener.State() == PeerSocket::SocketState::Connected || child.state() == QProcess::NotRunning)
            connecting.quit();
    });
    poll.start(5);
    QTimer::singleShot(10'000, &connecting, &QEventLoop::quit);
    connecting.exec();
    poll.stop();
    if (listener.State() != PeerSocket::SocketState::Connected) {
        bench::say("keystroke: the typist did not connect");
        return {0, 0, 0, Samples};
    }

    QPlainTextEdit shown;
    shown.resize(300, 200);
    shown.setReadOnly(true);
    shown.setUndoRedoEnabled(false);
    shown.show();
    Receiving receiving(&shown, &listener);
    pause(50);

    RawPing rawPing;
    RawOneWay rawOneWay;
    std::vector<double> micros;
    int lost = 0;
    for (int i = 0; i < WarmUp + Samples; ++i) {
        const int before = receiving.shown;
        const std::string command = std::string(1, char('a' + i % 26)) + '\n';
        child.write(command.data(), qint64(command.size()));
        QEventLoop loop;
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, [&] {
            if (receiving.shown > before && child.canReadLine())
                loop.quit();
        });
        QObject::connect(&child, &QProcess::readyReadStandardOutput, &loop, [&] {
            if (receiving.shown > before && child.canReadLine())
                loop.quit();
        });
        QObject::connect(&listener, &PeerSocket::DataArrival, &loop, [&] {
            // runs after Receiving::onData (connected earlier)
            if (receiving.shown > before && child.canReadLine())
                loop.quit();
        }, Qt::QueuedConnection);
        timeout.start(2'000);
        check.start(1);
        loop.exec();
        if (receiving.shown == before || !child.canReadLine()) {
            ++lost;
            bench::say("  key %d not shown within 2 s", i);
            continue;
        }
        const QList<QByteArray> times = child.readLine().trimmed().split(' ');
        const qint64 pressed = times.value(0).toLongLong();
        if (i >= WarmUp) {
            micros.push_back(double(receiving.shownNs - pressed) / 1e3);
            stages.handedOver.push_back(double(times.value(1).toLongLong() - pressed) / 1e3);
            stages.keyHandled.push_back(double(times.value(2).toLongLong() - pressed) / 1e3);
            stages.arrived.push_back(double(receiving.arrivedNs - pressed) / 1e3);
        }
        // Keep the boxes short, as a user's line would be.
        if (i % 60 == 59) {
            child.write("#\n");
            shown.clear();
        }
        // The baselines, in the gap between two keys: the same machine, the same moment.
        pause(KeyGapMs / 2);
        const double ping = rawPing.once(char('a' + i % 26));
        pause(KeyGapMs / 2);
        const double oneWay = rawOneWay.once(char('a' + i % 26));
        if (i >= WarmUp) {
            pings.push_back(ping);
            oneWays.push_back(oneWay);
        }
        pause(KeyGapMs / 2);
    }
    child.closeWriteChannel();
    if (!child.waitForFinished(5'000))
        child.kill();
    listener.Close();
    return summarize(micros, lost);
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1StringView("--typist"))
        return typist(quint16(app.arguments().value(2).toUInt()));

    bench::say("keystroke mirroring: %d keys (after %d warm-up keys) %d ms apart, typist and shown side in two "
               "processes, peer layer over loopback, offscreen",
               Samples, WarmUp, KeyGapMs);
    Stages stages;
    std::vector<double> pings, oneWays;
    const Figures k = keystrokes(QCoreApplication::applicationFilePath(), stages, pings, oneWays);
    const int pingsLost = int(std::count_if(pings.begin(), pings.end(), [](double v) { return v < 0; }));
    const Figures p = summarize(pings, pingsLost);
    const Figures oneWay = summarize(oneWays, 0);
    bench::say("key press to character shown: p50 %.1f us, p99 %.1f us, max %.1f us, %d lost", k.p50, k.p99, k.max,
               k.lost);
    bench::say("  medians from the key press: message handed to the peer layer %.1f us, key handled by the entry "
               "box %.1f us, DataArrival on the shown side %.1f us, character appended %.1f us",
               bench::median(stages.handedOver), bench::median(stages.keyHandled), bench::median(stages.arrived),
               k.p50);
    bench::say("raw ping (one byte there and back): p50 %.1f us, p99 %.1f us, max %.1f us", p.p50, p.p99, p.max);
    bench::say("raw one way, thread to thread (reference): p50 %.1f us, p99 %.1f us", oneWay.p50, oneWay.p99);
    const double ratio = k.p50 / p.p50;
    bench::row("3 keystroke", bench::format("p99 %.0f us", k.p99), bench::format("ping p99 %.0f us", p.p99), "-",
               "<= 2000 us", bench::yesNo(k.p99 <= 2000 && k.lost == 0));
    bench::row("3 keystroke", bench::format("p50 %.0f us", k.p50), bench::format("ping p50 %.0f us", p.p50),
               bench::format("%.2f", ratio), "<= 3", bench::yesNo(ratio <= 3 && k.lost == 0));
    return 0;
}
