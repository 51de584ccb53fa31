// Start-up: from process start to the main window shown, and peak memory then, for the quillet
// program against a bare Qt Widgets window program (startup/bare_window.cpp), run alternately.
//
// Both are the unmodified programs. A probe library is loaded into each with LD_PRELOAD
// (startup/shown_probe.cpp): when the first window has been painted it writes the time since the
// launcher's clock reading just before the start, and the peak resident memory (VmHWM), and ends
// the process. Runs on the offscreen platform; one warm-up run of each first, then alternating
// runs; medians are reported. For reference, the bare window is also run with one line of text,
// which makes it load the fonts as every window with text must.
#include "benchutil.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

namespace {

constexpr int Runs = 15;

struct Start
{
    double ms = -1;
    double peakMiB = -1;
};

Start launch(const QString &program, const QStringList &arguments, const QString &probe, const QString &outFile)
{
    QFile::remove(outFile);
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LD_PRELOAD"), probe);
    env.insert(QStringLiteral("QUILLET_PROBE_OUT"), outFile);
    if (env.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty())
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    // The clock is read last: the measured time starts at the fork.
    env.insert(QStringLiteral("QUILLET_PROBE_T0_NS"), QString::number(bench::nowNs()));
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    if (!process.waitForFinished(30'000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    QFile file(outFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QList<QByteArray> fields = file.readAll().trimmed().split(' ');
    if (fields.size() != 2)
        return {};
    return {fields[0].toDouble() / 1e3, fields[1].toDouble() / 1024};
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString quillet = QStringLiteral(QUILLET_CLIENT_PATH);
    const QString bare = QStringLiteral(BARE_WINDOW_PATH);
    const QString probe = QStringLiteral(SHOWN_PROBE_PATH);
    QTemporaryDir dir;
    const QString out = dir.filePath(QStringLiteral("shown"));

    bench::say("start-up: quillet vs a bare Qt Widgets window, %d alternating runs each after one warm-up, "
               "offscreen", Runs);
    const QStringList withText{QStringLiteral("--with-text")};
    launch(quillet, {}, probe, out);
    launch(bare, {}, probe, out);
    launch(bare, withText, probe, out);
    std::vector<double> qTimes, bTimes, qPeaks, bPeaks, tTimes, tPeaks;
    int failures = 0;
    for (int i = 0; i < Runs; ++i) {
        const Start q = launch(quillet, {}, probe, out);
        const Start b = launch(bare, {}, probe, out);
        const Start t = launch(bare, withText, probe, out);
        if (q.ms < 0 || b.ms < 0 || t.ms < 0) {
            ++failures;
            continue;
        }
        qTimes.push_back(q.ms);
        bTimes.push_back(b.ms);
        tTimes.push_back(t.ms);
        qPeaks.push_back(q.peakMiB);
        bPeaks.push_back(b.peakMiB);
        tPeaks.push_back(t.peakMiB);
    }
    if (qTimes.empty()) {
        bench::say("no run reported its window shown");
        bench::row("4 start-up", "no window shown", "-", "-", "<= 1.3", "no");
        return 0;
    }
    const double qt = bench::median(qTimes), bt = bench::median(bTimes);
    const double qm = bench::median(qPeaks), bm = bench::median(bPeaks);
    bench::say("quillet: %.1f ms to the window shown (min %.1f), peak %.1f MiB", qt,
               *std::min_element(qTimes.begin(), qTimes.end()), qm);
    bench::say("bare:    %.1f ms to the window shown (min %.1f), peak %.1f MiB", bt,
               *std::min_element(bTimes.begin(), bTimes.end()), bm);
    const double tt = bench::median(tTimes), tm = bench::median(tPeaks);
    bench::say("bare window with one line of text (fonts loaded; reference): %.1f ms, peak %.1f MiB; quillet "
               "against it: x%.2f time, x%.2f memory", tt, tm, qt / tt, qm / tm);
    if (failures)
        bench::say("%d runs did not report", failures);
    bench::row("4 start-up", bench::format("to window shown %.1f ms", qt), bench::format("bare %.1f ms", bt),
               bench::format("%.2f", qt / bt), "<= 1.5", bench::yesNo(qt / bt <= 1.5 && failures == 0));
    bench::row("4 start-up", bench::format("peak memory %.1f MiB", qm), bench::format("bare %.1f MiB", bm),
               bench::format("%.2f", qm / bm), "<= 1.25", bench::yesNo(qm / bm <= 1.25 && failures == 0));
    bench::row("4 start-up", bench::format("to window shown %.1f ms", qt), bench::format("bare with text %.1f ms", tt),
               bench::format("%.2f", qt / tt), "<= 1.3", bench::yesNo(qt / tt <= 1.3 && failures == 0));
    bench::row("4 start-up", bench::format("(reference) peak memory %.1f MiB", qm),
               bench::format("bare with text %.1f MiB", tm), bench::format("%.2f", qm / tm), "-", "-");
    return 0;
}
