// Connection flood: quillet-server with its default limits (16 connections per address, 10 s to
// log in) while one host, 127.0.0.1, attempts 5,000 connections as fast as it can and keeps every
// one it gets, sending nothing. Meanwhile a user on 127.0.0.2 logs in, over and over: each login is
// timed from the start of its connect to the last message of its welcome (the server's greeting).
// Figures: those login times during the flood (median and worst) and the server's memory (peak
// VmHWM, and VmRSS once the flood is dealt with). Baseline in the same run: the same logins on the
// idle server just before the flood.
//
// Bounded: at most 5,000 attempts (fewer when this process may not open that many descriptors),
// the flood gives up after 20 s, a login after 5 s, and the whole run ends by itself.
#include "benchutil.h"
#include "serverprocess.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int Attempts = 5'000;
constexpr int LoginsBefore = 10;
constexpr int LoginsDuring = 20;
constexpr int LoginGapMs = 25;
constexpr double FloodSeconds = 20;

sockaddr_in loopback(const char *address, quint16 port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

// One login from 127.0.0.2 under `name`: milliseconds from the connect to the end of the welcome,
// or -1 when it failed or took over 5 s.
double timedLogin(quint16 port, const std::string &name)
{
    const auto start = bench::Clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in source = loopback("127.0.0.2", 0), server = loopback("127.0.0.1", port);
    const timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    double ms = -1;
    const std::string login = name + "///pw" + '\0';
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&source), sizeof source) == 0
        && ::connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) == 0
        && ::send(fd, login.data(), login.size(), MSG_NOSIGNAL) == ssize_t(login.size())) {
        // The welcome ends with the greeting, the only room message of it.
        static const std::string greetingEnd = "<user>Server</user></message>";
        std::string in;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) {
            in.append(buffer, size_t(n));
            if (in.find(greetingEnd + '\0') != std::string::npos) {
                ms = bench::microsBetween(start, bench::Clock::now()) / 1000;
                break;
            }
        }
    }
    ::close(fd);
    return ms;
}

// Connections from 127.0.0.1 started without waiting for them, each kept open.
struct Flood
{
    std::vector<int> fds;
    std::atomic<bool> done{false};
    double seconds = 0;
    int failed = 0;

    void run(quint16 port, int attempts)
    {
        const sockaddr_in server = loopback("127.0.0.1", port);
        const auto start = bench::Clock::now();
        fds.reserve(size_t(attempts));
        for (int i = 0; i < attempts && bench::secondsSince(start) < FloodSeconds; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0) {
                ++failed;
                continue;
            }
            if (::connect(fd, reinterpret_cast<const sockaddr *>(&server), sizeof server) != 0
                && errno != EINPROGRESS) {
                ++failed;
                ::close(fd);
                continue;
            }
            fds.push_back(fd);
        }
        seconds = bench::secondsSince(start);
        done = true;
    }

    // How many of the connections the server has closed, and how many are still open.
    std::pair<int, int> closedAndOpen() const
    {
        int closed = 0, open = 0;
        for (const int fd : fds) {
            char byte;
            const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOTCONN) ? closed : open)++;
        }
        return {closed, open};
    }

    ~Flood()
    {
        for (const int fd : fds)
            ::close(fd);
    }
};

std::string milliseconds(double ms)
{
    return ms < 0 ? std::string("failed") : bench::format("%.1f ms", ms);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    const int attempts = int(std::min<rlim_t>(Attempts, limit.rlim_cur > 200 ? limit.rlim_cur - 100 : 100));

    bench::ServerProcess server;
    if (!server.start(QStringLiteral(QUILLET_SERVER_PATH), {"--listen", "127.0.0.1", "--port", "0"})) {
        bench::say("quillet-server did not start: %s", qPrintable(server.log()));
        return 1;
    }
    const int pid = int(server.pid());
    bench::say("connection flood: %d connections from 127.0.0.1 as fast as possible, kept open; logins from "
               "127.0.0.2, %d ms apart; quillet-server with its default limits",
               attempts, LoginGapMs);

    int user = 0;
    std::vector<double> before, during;
    for (int i = 0; i < LoginsBefore; ++i)
        before.push_back(timedLogin(server.port, "calm" + std::to_string(++user)));
    const long rssBefore = bench::statusKiB(pid, "VmRSS");

    Flood flood;
    std::thread flooder([&] { flood.run(server.port, attempts); });
    for (int i = 0; i < LoginsDuring; ++i) {
        during.push_back(timedLogin(server.port, "busy" + std::to_string(++user)));
        std::this_thread::sleep_for(std::chrono::milliseconds(LoginGapMs));
    }
    flooder.join();

    // The server has dealt with the flood when all but its 16 held connections are closed.
    const auto settling = bench::Clock::now();
    std::pair<int, int> state;
    while ((state = flood.closedAndOpen()).second > 16 && bench::secondsSince(settling) < FloodSeconds)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const double settled = bench::secondsSince(settling);
    const double after = timedLogin(server.port, "after" + std::to_string(++user));
    const long peak = bench::statusKiB(pid, "VmHWM"), rssAfter = bench::statusKiB(pid, "VmRSS");

    int failures = 0;
    for (const double ms : during)
        failures += ms < 0;
    const double worstMs = failures ? -1 : bench::percentile(during, 100);
    bench::say("  flood: %zu connections started in %.3f s (%d could not be), %d closed by the server, %d still open "
               "%.2f s after the last one",
               flood.fds.size(), flood.seconds, flood.failed, state.first, state.second, settled);
    bench::say("  logins before the flood: median %s, worst %s", milliseconds(bench::median(before)).c_str(),
               milliseconds(bench::percentile(before, 100)).c_str());
    std::string list;
    for (const double ms : during)
        list += (list.empty() ? "" : " ") + (ms < 0 ? std::string("failed") : bench::format("%.1f", ms));
    bench::say("  logins during the flood (ms): %s", list.c_str());
    bench::say("  login after the flood: %s", milliseconds(after).c_str());
    bench::say("  server memory: VmRSS %.1f MiB before, VmHWM %.1f MiB, VmRSS %.1f MiB after", rssBefore / 1024.0,
               peak / 1024.0, rssAfter / 1024.0);

    const double median = bench::median(during);
    bench::row("6 connection flood",
               bench::format("login p50 %.1f ms, worst %s", median, milliseconds(worstMs).c_str()),
               bench::format("idle server p50 %.1f ms", bench::median(before)),
               bench::format("%.1f", median / std::max(0.001, bench::median(before))), "<= 100 ms",
               bench::yesNo(failures == 0 && worstMs <= 100));
    bench::row("6 connection flood", bench::format("server memory peak %.1f MiB", peak / 1024.0),
               bench::format("idle %.1f MiB", rssBefore / 1024.0), "-", "< 50 MiB",
               bench::yesNo(peak > 0 && peak < 50 * 1024));
    return 0;
}
