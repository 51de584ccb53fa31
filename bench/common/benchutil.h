// Small helpers shared by the benchmark programs: clocks, order statistics, and the result rows
// that bench/run-benchmarks.sh gathers into one table.
//
// A benchmark prints whatever detail it likes on stdout, plus one line per figure that has a goal
// (or is worth a row of the table):
//     @row<TAB>benchmark<TAB>figure<TAB>baseline<TAB>ratio<TAB>goal<TAB>met
// "met" is "yes", "no" or "-" (no goal). Benchmarks never fail: they report.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

// Marks the measured stretches for callgrind: run the benchmark under
//     valgrind --tool=callgrind --collect-atstart=no <benchmark>
// and only instructions inside the marked stretches are counted. Without the valgrind headers the
// marks compile to nothing; outside valgrind they cost a few instructions.
#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define BENCH_COLLECT_BEGIN() CALLGRIND_TOGGLE_COLLECT
#define BENCH_COLLECT_END() CALLGRIND_TOGGLE_COLLECT
#else
#define BENCH_COLLECT_BEGIN() ((void)0)
#define BENCH_COLLECT_END() ((void)0)
#endif

namespace bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

inline double microsBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::micro>(b - a).count();
}

// The monotonic clock in nanoseconds: the same clock in every process of the machine, so that two
// processes of one benchmark can compare their readings.
inline long long nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Lets the Qt event loop run for `ms` milliseconds.
void pause(int ms);

// For a child process driven through its standard input, one command a line: calls `command` with
// the first character of every line as it comes (from the Qt event loop), and quits the
// application when the input ends.
void onInputCommands(std::function<void(char command)> command);

// Writes "<first> <second>\n" to standard output `delayMs` from now, from the Qt event loop: a
// child's report of its times, sent a little later so that it does not travel (and wake the other
// side) ahead of what it reports on.
void reportLater(int delayMs, long long first, long long second);

// The p-th percentile (0..100) by nearest rank; 0 for an empty sample.
inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double rank = p / 100.0 * double(values.size());
    size_t index = rank <= 1 ? 0 : size_t(rank + 0.999999) - 1;
    return values[std::min(index, values.size() - 1)];
}

inline double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// printf into a std::string.
template<class... A>
std::string format(const char *fmt, A... args)
{
    char buffer[256];
    std::snprintf(buffer, sizeof buffer, fmt, args...);
    return buffer;
}

// A figure with thousands separators ("1,234,567") for counts and rates.
inline std::string grouped(double value)
{
    const auto whole = static_cast<long long>(value + (value < 0 ? -0.5 : 0.5));
    std::string digits = std::to_string(whole < 0 ? -whole : whole);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return whole < 0 ? "-" + out : out;
}

inline const char *yesNo(bool met)
{
    return met ? "yes" : "no";
}

// One row of the final table (see the top of this file).
inline void row(const std::string &benchmark, const std::string &figure, const std::string &baseline,
                const std::string &ratio, const std::string &goal, const std::string &met)
{
    std::printf("@row\t%s\t%s\t%s\t%s\t%s\t%s\n", benchmark.c_str(), figure.c_str(), baseline.c_str(),
                ratio.c_str(), goal.c_str(), met.c_str());
    std::fflush(stdout);
}

// Detail lines, flushed at once so that a slow benchmark shows progress.
template<class... A>
void say(const char *fmt, A... args)
{
    std::printf(fmt, args...);
    std::printf("\n");
    std::fflush(stdout);
}

// Peak and current resident memory of a process in KiB (VmHWM, VmRSS of /proc/PID/status);
// -1 when unknown. pid 0 means this process.
long statusKiB(int pid, const char *field);

// Bytes this process holds allocated through malloc (in use, not merely reserved), the mapped
// large blocks included; differences of it measure what a structure of the process keeps.
long long heapInUse();

// A blocking TCP connection to 127.0.0.1:port; -1 when it fails.
int connectLoopback(unsigned short port);

} // namespace bench
