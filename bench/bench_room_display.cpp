// Room display: room messages through the main window's dispatcher into the message window.
//
// Throughput: 10,000 and then 100,000 room messages, each handed to frmMain's DataArrival handler
// as the socket would hand it, with the event loop let run (layout, painting, offscreen) after
// every 32 messages, about what one read of the socket brings. Baseline in the same run: the same
// lines, already cut into name, text and style, appended with the same character formats straight
// into a QPlainTextEdit of the same size, the direct way (each line one edit, the view brought to
// the end by its scroll bar once per turn of the event loop, as the main window does it), with the
// same event processing.
//
// Dispatcher and baseline take the lines in alternating blocks (500 lines, 2,000 for the 100,000;
// each goes first in every other block), so that both see the machine in the same state. Both
// take 200 lines untimed before, so that the fonts of the styles are loaded.
//
// Memory: in the run of 100,000 lines, what the heap (malloc's bytes in use) grew by during each
// view's blocks, from empty to 100,000 lines held, over 100,000: bytes per line held, against the
// baseline's widget holding the same lines with the same formats.
//
// History: the time per shown line with 1,000 lines of history against 100,000 lines of history:
// a second main window and a second baseline view holding 1,000 lines, and the two holding 100,000,
// take blocks of 100 lines in turn, forty each; the median block of each. The dispatcher's rate at
// 100,000 lines of history is set against the baseline's there: the median of the rounds' own
// ratios (the two take their blocks back to back), which the machine's load moves least.
//
// Responsiveness: a quillet-server child process relays a burst of 10,000 room messages from a
// second client (a thread with a plain socket) to the logged-in main window; a 1 ms timer on the
// window's event loop measures the longest gap between its ticks, the longest stall. The burst is
// then checked: every line shown, in order.
#include "benchutil.h"
#include "serverprocess.h"

#include "Globals.h"
#include "MessageBoxes.h"
#include "Services.h"
#include "WindowRegistry.h"
#include "frmMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

using namespace quillet;

namespace {

constexpr int Batch = 32; // messages between two turns of the event loop

struct Line
{
    QString name, text, style;
    QString wire; // the room message as the server sends it, without its 0 byte
};

QString roomMessage(const QString &text, const QString &style, const QString &name)
{
    return QStringLiteral("<message>") + text + QStringLiteral("<style>") + style + QStringLiteral("<user>")
         + name + QStringLiteral("</user></message>");
}

// Chat-like lines: 40 speakers, texts of 12 to 90 characters, all four styles.
std::vector<Line> makeLines(int count)
{
    static const QStringList words{"the", "meeting", "moved", "to", "three", "o'clock", "can", "you",
                                   "send", "me", "notes", "from", "yesterday", "thanks", "lunch",
                                   "build", "is", "green", "again", "release", "tomorrow", "ok"};
    static const QStringList styles{"N", "B", "I", "BI"};
    std::vector<Line> lines;
    lines.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        Line line;
        line.name = QStringLiteral("user%1").arg(i % 40);
        const int wordCount = 3 + (i * 7) % 14;
        for (int w = 0; w < wordCount; ++w)
            line.text += (w ? QStringLiteral(" ") : QString()) + words.at((i * 5 + w * 3) % words.size());
        line.text += QStringLiteral(" #%1").arg(i);
        line.style = styles.at(i % 4);
        line.wire = roomMessage(line.text, line.style, line.name);
        lines.push_back(std::move(line));
    }
    return lines;
}

// Records message boxes instead of showing them (none is expected).
class SilentBoxes final : public MessageBoxes
{
public:
    void show(QWidget *, const QString &text, const QString &, BoxIcon) override
    {
        bench::say("  message box: %s", qPrintable(text));
    }
};

// Appends lines in one way or another; per-line times of chosen blocks are kept.
class MessageView
{
public:
    virtual ~MessageView() = default;
    virtual void append(const Line &line) = 0;
    virtual void clear() = 0;
    virtual QPlainTextEdit *edit() = 0;

    // Appends lines[from, to) with the event loop run after every Batch lines. Returns seconds.
    double feed(const std::vector<Line> &lines, size_t from, size_t to)
    {
        const auto start = bench::Clock::now();
        for (size_t i = from; i < to; ++i) {
            append(lines[i]);
            if ((i + 1 - from) % Batch == 0)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        return bench::secondsSince(start);
    }
};

class ThroughDispatcher final : public MessageView
{
public:
    explicit ThroughDispatcher(frmMain *w) : w_(w) {}
    void append(const Line &line) override { w_->Socketmain_DataArrival(line.wire); }
    void clear() override { w_->txtrx->clear(); }
    QPlainTextEdit *edit() override { return w_->txtrx; }

private:
    frmMain *w_;
};

// The baseline: the same runs with the same formats into the same widget type, written the direct
// way: the three runs of a line as one edit (so the document lays the line out once), and the view
// brought to the end by its scroll bar once per turn of the event loop.
class StraightAppend final : public MessageView
{
public:
    explicit StraightAppend(const QPlainTextEdit *model)
    {
        edit_.setReadOnly(true);
        edit_.setUndoRedoEnabled(false);
        edit_.setPalette(model->palette());
        edit_.setFont(model->font());
        edit_.resize(model->size());
        edit_.show();
        nameFormat_.setForeground(frmMain::NameColour);
        plain_.setForeground(frmMain::TextColour);
        for (int s = 0; s < 4; ++s) {
            styled_[s].setForeground(frmMain::TextColour);
            styled_[s].setFontWeight(s & 1 ? QFont::Bold : QFont::Normal);
            styled_[s].setFontItalic(s & 2);
        }
        clear();
    }
    void append(const Line &line) override
    {
        const int s = (line.style.contains(u'B') ? 1 : 0) | (line.style.contains(u'I') ? 2 : 0);
        cursor_.beginEditBlock();
        cursor_.insertText(line.name + QStringLiteral(" : "), nameFormat_);
        cursor_.insertText(line.text, styled_[s]);
        cursor_.insertText(QStringLiteral("\n"), plain_);
        cursor_.endEditBlock();
        if (!scrollPending_) {
            scrollPending_ = true;
            QMetaObject::invokeMethod(&edit_, [this] {
                scrollPending_ = false;
                QScrollBar *bar = edit_.verticalScrollBar(); // the end in view, as the window does it
                bar->setValue(bar->maximum());
            }, Qt::QueuedConnection);
        }
    }
    void clear() override
    {
        edit_.clear();
        cursor_ = QTextCursor(edit_.document());
        edit_.moveCursor(QTextCursor::End);
    }
    QPlainTextEdit *edit() override { return &edit_; }

private:
    QPlainTextEdit edit_;
    QTextCharFormat nameFormat_, plain_, styled_[4];
    QTextCursor cursor_;
    bool scrollPending_ = false;
};

struct Throughput
{
    double dispatcher = 0, baseline = 0;                  // lines per second
    double dispatcherBytes = 0, baselineBytes = 0;        // heap grown per line
};

// Feeds `count` lines to the dispatcher and to the baseline in alternating blocks, so that both
// grow in step and see the same machine at the same moments. The heap's growth during each one's
// blocks is what that one keeps of the lines.
Throughput alternate(MessageView &product, MessageView &baseline, const std::vector<Line> &lines, size_t count,
                     size_t block)
{
    product.clear();
    baseline.clear();
    QCoreApplication::processEvents();
    double p = 0, b = 0;
    long long pBytes = 0, bBytes = 0;
    const auto feed = [&](MessageView &view, size_t from, size_t to, double &seconds, long long &bytes) {
        const long long before = bench::heapInUse();
        seconds += view.feed(lines, from, to);
        bytes += bench::heapInUse() - before;
    };
    for (size_t from = 0; from < count; from += block) {
        const size_t to = std::min(count, from + block);
        if ((from / block) % 2 == 0) { // each goes first in every other block
            feed(product, from, to, p, pBytes);
            feed(baseline, from, to, b, bBytes);
        } else {
            feed(baseline, from, to, b, bBytes);
            feed(product, from, to, p, pBytes);
        }
    }
    return {double(count) / p, double(count) / b, double(pBytes) / double(count), double(bBytes) / double(count)};
}

// Time per line (microseconds) of several views, each fed blocks of 100 lines from its own
// starting point in turn, forty rounds: every view's blocks, in round order.
std::vector<std::vector<double>> perLine(const std::vector<std::pair<MessageView *, size_t>> &views,
                                         const std::vector<Line> &lines)
{
    std::vector<std::vector<double>> blocks(views.size());
    for (size_t round = 0; round < 40; ++round)
        for (size_t v = 0; v < views.size(); ++v) {
            const size_t from = views[v].second + round * 100;
            blocks[v].push_back(views[v].first->feed(lines, from, from + 100) * 1e6 / 100);
        }
    return blocks;
}

// --- The burst through quillet-server ---------------------------------------------------------

bool sendAll(int fd, const std::string &bytes)
{
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n > 0)
            sent += size_t(n);
        else if (!(n < 0 && errno == EINTR))
            return false;
    }
    return true;
}

// Reads messages until one contains `marker`; false when the connection ends first.
bool readUntil(int fd, const char *marker)
{
    std::string seen;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        seen.append(buffer, size_t(n));
        for (char &c : seen)
            if (c == '\0')
                c = '\n';
        if (seen.find(marker) != std::string::npos)
            return true;
    }
}

struct Burst
{
    double longestStallMs = 0;
    double stallCpuMs = 0;   // of the longest stall, the time this thread ran (the rest it waited for a core)
    double longestCpuMs = 0; // the most CPU time between two ticks
    double p99GapMs = 0;
    double seconds = 0;
    int shown = 0;
    int outOfOrder = 0;
    bool ok = false;
};

Burst burstThroughServer(frmMain *w, const QString &serverPath, int count)
{
    Burst result;
    bench::ServerProcess server;
    if (!server.start(serverPath, {"--listen", "127.0.0.1", "--port", "0"})) {
        bench::say("  quillet-server did not start: %s", qPrintable(server.log()));
        return result;
    }

    // The window logs in as "reader" and waits for the server's greeting.
    w->txtrx->clear();
    Globals::sServerHost = QStringLiteral("127.0.0.1");
    Globals::sUserName = QStringLiteral("reader");
    Globals::sPassword = QStringLiteral("pw");
    Globals::nServerPort = server.port;
    w->mnuFileConnect_Click();
    QElapsedTimer waiting;
    waiting.start();
    while (!w->txtrx->toPlainText().contains(QStringLiteral("Welcome, reader")) && waiting.elapsed() < 10'000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    // The talker logs in from a thread with a plain blocking socket.
    const int talker = bench::connectLoopback(server.port);
    if (talker < 0 || !sendAll(talker, std::string("talker///pw") + '\0') || !readUntil(talker, "Welcome, talker")) {
        bench::say("  the talker could not log in");
        return result;
    }
    waiting.restart();
    while (!w->txtrx->toPlainText().contains(QStringLiteral("talker joined")) && waiting.elapsed() < 10'000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);

    std::string burst;
    for (int i = 0; i < count; ++i) {
        burst += "<message>burst line " + std::to_string(100000 + i).substr(1)
               + " with some words to show<style>N<user>talker</user></message>";
        burst.push_back('\0');
    }
    const int before = w->txtrx->document()->blockCount();

    // The event loop's pulse: a 1 ms timer; the longest gap between ticks is the longest stall.
    // The thread's CPU time in each gap tells work from waiting for a core on a busy machine.
    std::vector<double> gaps, cpuGaps;
    gaps.reserve(100'000);
    cpuGaps.reserve(100'000);
    const auto cpuNs = [] {
        timespec t{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return qint64(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
    };
    qint64 lastCpu = cpuNs();
    QElapsedTimer pulse;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    qint64 last = 0;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = pulse.nsecsElapsed();
        gaps.push_back(double(now - last) / 1e6);
        last = now;
        const qint64 cpu = cpuNs();
        cpuGaps.push_back(double(cpu - lastCpu) / 1e6);
        lastCpu = cpu;
    });
    pulse.start();
    tick.start();

    std::atomic<bool> talkerDone{false};
    std::thread sender([&] { sendAll(talker, burst); });
    std::thread drainer([&] { // the talker's own copies come back too; take them away
        char buffer[65536];
        while (!talkerDone.load()) {
            const ssize_t n = ::recv(talker, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
                break;
            if (n < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const auto start = bench::Clock::now();
    waiting.restart();
    while (w->txtrx->document()->blockCount() - before < count && waiting.elapsed() < 60'000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    result.seconds = bench::secondsSince(start);
    tick.stop();
    talkerDone = true;
    sender.join();
    drainer.join();
    ::close(talker);

    // Every burst line shown once, in order.
    int expected = 0;
    const QString prefix = QStringLiteral("talker : burst line ");
    for (QTextBlock block = w->txtrx->document()->begin(); block.isValid(); block = block.next()) {
        const QString text = block.text();
        if (!text.startsWith(prefix))
            continue;
        if (text.mid(prefix.size(), 5).toInt() != expected)
            ++result.outOfOrder;
        ++expected;
    }
    result.shown = expected;
    if (!gaps.empty()) {
        const auto longest = std::max_element(gaps.begin(), gaps.end());
        result.longestStallMs = *longest;
        result.stallCpuMs = cpuGaps[size_t(longest - gaps.begin())];
        result.longestCpuMs = *std::max_element(cpuGaps.begin(), cpuGaps.end());
    }
    result.p99GapMs = bench::percentile(gaps, 99);
    result.ok = true;
    w->mnuFileDisconnect_Click();
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SilentBoxes boxes;
    services().boxes = &boxes;
    services().endProgram = [] {};

    Globals::reset();
    frmMain *w = Window<frmMain>::load();
    w->show();
    QCoreApplication::processEvents();

    const std::vector<Line> lines = makeLines(104'000);
    ThroughDispatcher product(w);
    StraightAppend baseline(w->txtrx);

    // --only-dispatcher N / --only-straight N: one run of N lines, for a profiler
    // (valgrind --tool=callgrind).
    for (const char *option : {"--only-dispatcher", "--only-straight"}) {
        const qsizetype at = app.arguments().indexOf(QLatin1StringView(option));
        if (at < 0)
            continue;
        MessageView &display = option[7] == 'd' ? static_cast<MessageView &>(product) : baseline;
        const size_t count = size_t(qBound(1, app.arguments().value(at + 1).toInt(), 100'000));
        const double s = display.feed(lines, 0, count);
        bench::say("%s: %zu lines in %.3f s", option + 7, count, s);
        return 0;
    }
    bench::say("room display: dispatcher into frmMain::txtrx vs straight appends, offscreen, events every %d lines",
               Batch);

    // Both take a few lines of every style first, untimed: the fonts of the styles are loaded once
    // per process, and whichever view met them first would pay for it.
    product.feed(lines, 0, 200);
    baseline.feed(lines, 0, 200);
    const Throughput small = alternate(product, baseline, lines, 10'000, 500);
    const double smallRatio = small.dispatcher / small.baseline;
    bench::say("10,000 lines:  dispatcher %s lines/s, straight %s lines/s, ratio %.2f",
               bench::grouped(small.dispatcher).c_str(), bench::grouped(small.baseline).c_str(), smallRatio);
    const Throughput large = alternate(product, baseline, lines, 100'000, 2'000);
    const double largeRatio = large.dispatcher / large.baseline;
    bench::say("100,000 lines: dispatcher %s lines/s, straight %s lines/s, ratio %.2f",
               bench::grouped(large.dispatcher).c_str(), bench::grouped(large.baseline).c_str(), largeRatio);
    const double memoryRatio = large.dispatcherBytes / large.baselineBytes;
    bench::say("memory per line held at 100,000 lines: dispatcher %.0f bytes, straight %.0f bytes, ratio %.2f",
               large.dispatcherBytes, large.baselineBytes, memoryRatio);

    // Growth: the two views now hold 100,000 lines; a second main window and a second baseline
    // view get 1,000. Blocks of 100 lines then go to each of the four in turn.
    frmMain young;
    young.resize(w->size());
    young.show();
    ThroughDispatcher youngProduct(&young);
    StraightAppend youngBaseline(w->txtrx);
    youngProduct.feed(lines, 0, 1000);
    youngBaseline.feed(lines, 0, 1000);
    const std::vector<std::vector<double>> blocks =
        perLine({{&product, 100'000}, {&baseline, 100'000}, {&youngProduct, 1000}, {&youngBaseline, 1000}}, lines);
    std::vector<double> perLineUs, roundRatios;
    for (const std::vector<double> &b : blocks)
        perLineUs.push_back(bench::median(b));
    for (size_t round = 0; round < blocks[0].size(); ++round) // the two at 100,000 ran back to back
        roundRatios.push_back(blocks[1][round] / blocks[0][round]);
    const double productAt100k = perLineUs[0], baselineAt100k = perLineUs[1], productAt1k = perLineUs[2];
    const double growth = productAt100k / productAt1k;
    const double historyRatio = bench::median(roundRatios); // of the rates, the median of the rounds' own
    bench::say("time per line, dispatcher: %.1f us at 1,000 lines of history, %.1f us at 100,000 (x%.2f)",
               productAt1k, productAt100k, growth);
    bench::say("time per line, straight:   %.1f us at 1,000 lines of history, %.1f us at 100,000 (x%.2f)",
               perLineUs[3], baselineAt100k, baselineAt100k / perLineUs[3]);
    young.hide();
    product.clear();
    baseline.clear();
    QCoreApplication::processEvents();

    const QString serverPath = QStringLiteral(QUILLET_SERVER_PATH);
    const Burst burst = burstThroughServer(w, serverPath, 10'000);
    bench::say("burst of 10,000 through quillet-server: %d shown (%d out of order) in %.2f s; longest stall "
               "%.1f ms, 99th percentile gap %.2f ms",
               burst.shown, burst.outOfOrder, burst.seconds, burst.longestStallMs, burst.p99GapMs);
    bench::say("  the longest stall ran %.1f ms on the CPU (the rest of it waited for a core); the most CPU time "
               "between two ticks %.1f ms", burst.stallCpuMs, burst.longestCpuMs);

    bench::row("2 room display", "10k lines/s " + bench::grouped(small.dispatcher),
               "straight " + bench::grouped(small.baseline), bench::format("%.2f", smallRatio), ">= 2",
               bench::yesNo(smallRatio >= 2));
    bench::row("2 room display", "lines/s at 100k history " + bench::grouped(1e6 / productAt100k),
               "straight " + bench::grouped(1e6 / baselineAt100k), bench::format("%.2f", historyRatio), ">= 2",
               bench::yesNo(historyRatio >= 2));
    bench::row("2 room display", bench::format("memory/line at 100k lines %.0f B", large.dispatcherBytes),
               bench::format("straight %.0f B", large.baselineBytes), bench::format("%.2f", memoryRatio),
               "<= 1.2", bench::yesNo(memoryRatio <= 1.2));
    bench::row("2 room display",
               "(reference) 100k run lines/s " + bench::grouped(large.dispatcher)
                   + bench::format(", us/line at 100k history x%.2f of 1k", growth),
               "straight " + bench::grouped(large.baseline), bench::format("%.2f", largeRatio), "-", "-");
    bench::row("2 room display", bench::format("longest stall %.1f ms", burst.longestStallMs), "-", "-", "<= 16 ms",
               bench::yesNo(burst.ok && burst.longestStallMs <= 16));
    bench::row("2 room display", bench::format("burst lines shown %d/10000", burst.shown), "-", "-",
               "all, in order", bench::yesNo(burst.shown == 10'000 && burst.outOfOrder == 0));

    services().boxes = nullptr;
    return 0;
}
