// Server relay: quillet-server relaying the room of 100 logged-in loopback clients, each sending
// 500 room messages (100 x 500 x 100 = 5,000,000 deliveries: each relayed copy counts, the
// sender's own included).
//
// The clients live in this process: 100 non-blocking sockets driven by one poll loop, which writes
// each client's 500 messages as fast as the server takes them and reads everything the server
// sends. Every client checks that it receives every other client's lines exactly once and in the
// order they were sent. Figures: deliveries per second (first line sent to last line received) and
// the server's memory per client (resident memory with the 100 clients logged in, less that
// before they came, over 100; and the same with the peak during the relay).
//
// Baseline in the same run: a minimal relay, this program started with --relay: one poll loop that
// splits what each client sends at its 0 bytes and writes every message to all clients, nothing
// else (no login, no parsing). Same clients, same messages. The CPU time each relay process spends
// per delivery is printed too: it depends less on what else the machine is doing.
#include "benchutil.h"
#include "serverprocess.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int Clients = 100;
constexpr int LinesPerClient = 500;
constexpr long long Expected = 1LL * Clients * LinesPerClient * Clients;
constexpr int Rounds = 1;
constexpr int StallLimitMs = 15'000; // no progress for this long: give up and report what is missing

// --- The minimal relay (child process) ---------------------------------------------------------

int minimalRelay()
{
    signal(SIGPIPE, SIG_IGN);
    const int listening = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const int on = 1;
    ::setsockopt(listening, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(listening, reinterpret_cast<sockaddr *>(&address), length) != 0 || ::listen(listening, 256) != 0
        || ::getsockname(listening, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::perror("relay: listen");
        return 1;
    }
    std::fprintf(stderr, "listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
    std::fflush(stderr);

    struct Client
    {
        int fd;
        std::string in, out; // unterminated input; output the kernel has not taken yet
    };
    std::vector<Client> clients;
    std::vector<pollfd> polled;
    std::vector<char> buffer(64 * 1024);

    auto write = [](Client &c, const char *data, size_t size) {
        if (c.out.empty()) {
            const ssize_t n = ::send(c.fd, data, size, MSG_NOSIGNAL);
            if (n == ssize_t(size))
                return;
            const size_t done = n > 0 ? size_t(n) : 0;
            c.out.append(data + done, size - done);
        } else {
            c.out.append(data, size);
        }
    };

    for (;;) {
        polled.assign(1, pollfd{listening, POLLIN, 0});
        for (const Client &c : clients)
            polled.push_back({c.fd, short(POLLIN | (c.out.empty() ? 0 : POLLOUT)), 0});
        if (::poll(polled.data(), polled.size(), -1) < 0 && errno != EINTR)
            return 1;
        if (polled[0].revents & POLLIN) {
            int fd;
            while ((fd = ::accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0)
                clients.push_back({fd, {}, {}});
        }
        for (size_t i = 1; i < polled.size(); ++i) {
            Client &c = clients[i - 1];
            if ((polled[i].revents & POLLOUT) && !c.out.empty()) {
                const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
                if (n > 0)
                    c.out.erase(0, size_t(n));
            }
            if (!(polled[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::recv(c.fd, buffer.data(), buffer.size(), 0);
            if (n <= 0)
                continue; // the benchmark ends the whole relay; a closed client just stays quiet
            c.in.append(buffer.data(), size_t(n));
            size_t start = 0, zero;
            while ((zero = c.in.find('\0', start)) != std::string::npos) {
                for (Client &to : clients)
                    write(to, c.in.data() + start, zero + 1 - start);
                start = zero + 1;
            }
            c.in.erase(0, start);
        }
    }
}

// --- The clients (this process) ----------------------------------------------------------------

// A non-blocking connection to the relay on `port`; -1 when it fails.
int connectLoopback(quint16 port)
{
    const int fd = bench::connectLoopback(port);
    if (fd >= 0)
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

struct Client
{
    int fd = -1;
    std::string out;   // what is still to be sent
    size_t sent = 0;
    std::string in;    // an unterminated tail
    std::vector<int> next = std::vector<int>(Clients, 0); // per sender: the line expected next
    long long received = 0; // room lines of the benchmark's clients
    long long faults = 0;   // lines out of order, repeated or garbled
};

// "<message>L<line><style>N<user>c<sender></user></message>"
bool parseLine(const char *data, size_t size, int &sender, int &line)
{
    static const char head[] = "<message>L";
    static const char user[] = "<user>c";
    if (size < sizeof head || std::memcmp(data, head, sizeof head - 1) != 0)
        return false;
    line = std::atoi(data + sizeof head - 1);
    const char *u = static_cast<const char *>(memmem(data, size, user, sizeof user - 1));
    if (!u)
        return false;
    sender = std::atoi(u + sizeof user - 1);
    return sender >= 0 && sender < Clients;
}

// Reads what is there (one receive); counts the room lines of the benchmark's clients and checks
// their order. Returns false when the connection has ended.
bool readFrom(Client &c, std::vector<char> &buffer)
{
    {
        const ssize_t n = ::recv(c.fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR))
            return true;
        if (n <= 0)
            return false;
        c.in.append(buffer.data(), size_t(n));
        size_t start = 0, zero;
        while ((zero = c.in.find('\0', start)) != std::string::npos) {
            int sender, line;
            if (parseLine(c.in.data() + start, zero - start, sender, line)) {
                ++c.received;
                if (line == c.next[sender])
                    ++c.next[sender];
                else
                    ++c.faults;
            }
            start = zero + 1;
        }
        c.in.erase(0, start);
    }
    return true;
}

// Waits until every client has read a message containing `marker`; false on a timeout.
bool waitForEach(std::vector<Client> &clients, const char *marker, int timeoutMs)
{
    std::vector<bool> seen(clients.size(), false);
    std::vector<std::string> text(clients.size());
    size_t count = 0;
    char buffer[4096];
    const auto start = bench::Clock::now();
    while (count < clients.size()) {
        if (bench::secondsSince(start) * 1000 > timeoutMs)
            return false;
        std::vector<pollfd> polled;
        for (const Client &c : clients)
            polled.push_back({c.fd, POLLIN, 0});
        ::poll(polled.data(), polled.size(), 100);
        for (size_t i = 0; i < clients.size(); ++i) {
            if (seen[i] || !(polled[i].revents & POLLIN))
                continue;
            const ssize_t n = ::recv(clients[i].fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                continue;
            text[i].append(buffer, size_t(n));
            for (char &ch : text[i])
                if (ch == '\0')
                    ch = '\n';
            if (text[i].find(marker) != std::string::npos) {
                seen[i] = true;
                ++count;
            }
        }
    }
    return true;
}

// CPU seconds (user and system) a process has used so far, from /proc; 0 when unknown.
double cpuSeconds(qint64 pid)
{
    FILE *stat = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!stat)
        return 0;
    char text[1024] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    const char *fields = std::strrchr(text, ')'); // the command name may hold blanks
    if (!fields || size_t(fields - text) >= n)
        return 0;
    unsigned long long user = 0, system = 0;
    // After ") ": state, ppid, pgrp, session, tty, tpgid, flags, minflt, cminflt, majflt, cmajflt,
    // utime, stime.
    if (std::sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) != 2)
        return 0;
    return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

struct Run
{
    double seconds = 0;
    double cpuSeconds = 0; // of the relaying process, while relaying
    long long delivered = 0, faults = 0;
    double idleKiBPerClient = 0, peakKiBPerClient = 0;
    bool ok = false;
};

// Connects the clients (logging them in when `login`), then lets every client send its lines.
Run relay(quint16 port, qint64 serverPid, bool login)
{
    Run run;
    const long before = bench::statusKiB(int(serverPid), "VmRSS");
    std::vector<Client> clients(Clients);
    for (int i = 0; i < Clients; ++i) {
        clients[i].fd = connectLoopback(port);
        if (clients[i].fd < 0) {
            bench::say("  client %d cannot connect", i);
            return run;
        }
        if (login) {
            // One at a time: a client that has its greeting is announced to all that come later.
            std::string message = std::to_string(i);
            message.insert(0, 1, 'c');
            message.append("///pw", 6); // with its 0 byte
            [[maybe_unused]] const ssize_t n = ::send(clients[i].fd, message.data(), message.size(), MSG_NOSIGNAL);
            std::vector<Client> one;
            one.push_back({});
            one[0].fd = clients[i].fd;
            if (!waitForEach(one, ("Welcome, c" + std::to_string(i) + ".").c_str(), 10'000)) {
                bench::say("  client %d was not welcomed", i);
                return run;
            }
        }
    }
    for (int i = 0; i < Clients; ++i)
        for (int line = 0; line < LinesPerClient; ++line)
            clients[i].out += "<message>L" + std::to_string(line) + " from a benchmark client<style>N<user>c"
                            + std::to_string(i) + "</user></message>" + '\0';
    // Let the join notices settle before measuring memory and time.
    {
        std::vector<char> buffer(64 * 1024);
        const auto settle = bench::Clock::now();
        while (bench::secondsSince(settle) < 0.3) {
            for (Client &c : clients)
                readFrom(c, buffer);
            ::usleep(10'000);
        }
    }
    const long loggedIn = bench::statusKiB(int(serverPid), "VmRSS");
    run.idleKiBPerClient = double(loggedIn - before) / Clients;

    // One epoll set for all clients; a client leaves the write set once all its lines are out.
    const int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    for (int i = 0; i < Clients; ++i) {
        epoll_event event{};
        event.events = EPOLLIN | EPOLLOUT;
        event.data.u32 = uint32_t(i);
        ::epoll_ctl(epoll, EPOLL_CTL_ADD, clients[i].fd, &event);
    }
    const double cpuBefore = cpuSeconds(serverPid);
    std::vector<char> buffer(256 * 1024);
    std::vector<epoll_event> ready(Clients);
    long long total = 0;
    auto lastProgress = bench::Clock::now();
    const auto start = bench::Clock::now();
    while (total < Expected) {
        const int count = ::epoll_wait(epoll, ready.data(), Clients, 100);
        bool progress = false;
        for (int k = 0; k < count; ++k) {
            Client &c = clients[ready[k].data.u32];
            if ((ready[k].events & EPOLLOUT) && c.sent < c.out.size()) {
                const ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
                if (n > 0) {
                    c.sent += size_t(n);
                    progress = true;
                }
                if (c.sent == c.out.size()) {
                    epoll_event event{};
                    event.events = EPOLLIN;
                    event.data.u32 = ready[k].data.u32;
                    ::epoll_ctl(epoll, EPOLL_CTL_MOD, c.fd, &event);
                }
            }
            if (ready[k].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                const long long had = c.received;
                readFrom(c, buffer);
                total += c.received - had;
                progress |= c.received != had;
            }
        }
        if (progress)
            lastProgress = bench::Clock::now();
        else if (bench::secondsSince(lastProgress) * 1000 > StallLimitMs)
            break;
    }
    run.seconds = bench::secondsSince(start);
    run.cpuSeconds = cpuSeconds(serverPid) - cpuBefore;
    ::close(epoll);
    const long peak = bench::statusKiB(int(serverPid), "VmHWM");
    run.peakKiBPerClient = double(peak - before) / Clients;
    run.delivered = total;
    for (Client &c : clients) {
        run.faults += c.faults;
        ::close(c.fd);
    }
    run.ok = true;
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1StringView("--relay"))
        return minimalRelay();
    signal(SIGPIPE, SIG_IGN);

    bench::say("server relay: %d clients x %d room messages, every message to every client (%s deliveries)",
               Clients, LinesPerClient, bench::grouped(double(Expected)).c_str());
    std::vector<double> serverRates, baselineRates, serverCpu, baselineCpu;
    Run worstServer;
    worstServer.delivered = Expected;
    double idle = 0, peak = 0, baselineIdle = 0;
    for (int round = 0; round < Rounds; ++round) {
        {
            bench::ServerProcess server;
            // All 100 clients come from one address: no limit per address.
            if (!server.start(QStringLiteral(QUILLET_SERVER_PATH),
                              {"--listen", "127.0.0.1", "--port", "0", "--max-per-address", "0"})) {
                bench::say("quillet-server did not start: %s", qPrintable(server.log()));
                return 0;
            }
            const Run r = relay(server.port, server.pid(), true);
            serverRates.push_back(r.seconds > 0 ? r.delivered / r.seconds : 0);
            if (r.delivered - r.faults < worstServer.delivered - worstServer.faults || !r.ok)
                worstServer = r;
            idle = std::max(idle, r.idleKiBPerClient);
            peak = std::max(peak, r.peakKiBPerClient);
            serverCpu.push_back(r.cpuSeconds * 1e6 / double(std::max(1LL, r.delivered)));
            bench::say("  round %d quillet-server: %s deliveries in %.2f s = %s/s, %lld faults; %.2f us CPU per "
                       "delivery; %.1f KiB per client logged in, %.1f KiB at the peak",
                       round + 1, bench::grouped(double(r.delivered)).c_str(), r.seconds,
                       bench::grouped(serverRates.back()).c_str(), r.faults, serverCpu.back(), r.idleKiBPerClient,
                       r.peakKiBPerClient);
        }
        {
            bench::ServerProcess relayProcess;
            if (!relayProcess.start(QCoreApplication::applicationFilePath(), {"--relay"})) {
                bench::say("the minimal relay did not start");
                return 0;
            }
            const Run r = relay(relayProcess.port, relayProcess.pid(), false);
            baselineRates.push_back(r.seconds > 0 ? r.delivered / r.seconds : 0);
            baselineIdle = std::max(baselineIdle, r.idleKiBPerClient);
            baselineCpu.push_back(r.cpuSeconds * 1e6 / double(std::max(1LL, r.delivered)));
            bench::say("  round %d minimal relay:  %s deliveries in %.2f s = %s/s, %lld faults; %.2f us CPU per "
                       "delivery; %.1f KiB per client",
                       round + 1, bench::grouped(double(r.delivered)).c_str(), r.seconds,
                       bench::grouped(baselineRates.back()).c_str(), r.faults, baselineCpu.back(), r.idleKiBPerClient);
        }
    }
    const double rate = bench::median(serverRates), baseline = bench::median(baselineRates);
    const double ratio = rate / baseline;
    const long long missing = Expected - worstServer.delivered;
    bench::say("quillet-server %s deliveries/s, minimal relay %s/s, ratio %.2f; worst round: %lld missing, %lld "
               "faults; memory per client %.1f KiB logged in, %.1f KiB at the peak",
               bench::grouped(rate).c_str(), bench::grouped(baseline).c_str(), ratio, missing, worstServer.faults,
               idle, peak);
    bench::say("CPU per delivery: quillet-server %.2f us, minimal relay %.2f us (x%.2f)", bench::median(serverCpu),
               bench::median(baselineCpu), bench::median(serverCpu) / bench::median(baselineCpu));
    bench::row("5 server relay",
               "deliveries/s " + bench::grouped(rate) + bench::format(" (%.1f us CPU each)", bench::median(serverCpu)),
               "minimal relay " + bench::grouped(baseline) + bench::format(" (%.1f us)", bench::median(baselineCpu)),
               bench::format("%.2f", ratio), ">= 0.5", bench::yesNo(ratio >= 0.5));
    bench::row("5 server relay", bench::format("deliveries accounted %lld/%lld", worstServer.delivered, Expected), "-",
               "-", "all", bench::yesNo(missing == 0 && worstServer.faults == 0));
    bench::row("5 server relay", bench::format("memory/client %.0f KiB (peak %.0f)", idle, peak),
               bench::format("minimal relay %.0f KiB", baselineIdle), "-", "-", "-");
    return 0;
}
