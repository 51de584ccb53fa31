// Start-up probe, loaded into a program with LD_PRELOAD by bench_startup: when the program's first
// top-level window has been painted, it writes how long the process took to get there and its
// peak memory, then ends the process at once.
//
//   QUILLET_PROBE_T0_NS   monotonic clock (nanoseconds) read by the launcher just before it
//                         started the process
//   QUILLET_PROBE_OUT     file to write "<microseconds> <peak resident KiB>\n" to
//
// It hooks in through Qt's start-up routines (run when the QApplication is constructed), so the
// program itself is the unmodified binary.
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

long peakKiB()
{
    FILE *status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long value = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) {
            value = std::strtol(line + 6, nullptr, 10);
            break;
        }
    }
    std::fclose(status);
    return value;
}

long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1'000'000'000LL + now.tv_nsec;
}

void report()
{
    const long long shown = monotonicNs();
    const char *t0 = std::getenv("QUILLET_PROBE_T0_NS");
    const char *out = std::getenv("QUILLET_PROBE_OUT");
    if (t0 && out) {
        if (FILE *file = std::fopen(out, "w")) {
            std::fprintf(file, "%lld %ld\n", (shown - std::atoll(t0)) / 1000, peakKiB());
            std::fclose(file);
        }
    }
    std::fflush(nullptr);
    _exit(0);
}

class FirstPaint : public QObject
{
protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!done_ && event->type() == QEvent::Paint && watched->isWidgetType()
            && static_cast<QWidget *>(watched)->window()->isVisible()) {
            done_ = true;
            // Once this paint and the rest of its frame are through, the window is on screen.
            QTimer::singleShot(0, [] { report(); });
        }
        return false;
    }

private:
    bool done_ = false;
};

void installProbe()
{
    QCoreApplication::instance()->installEventFilter(new FirstPaint);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(installProbe)
