#include "benchutil.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

#include <cstring>
#include <fstream>
#include <memory>

#include <malloc.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench {

long statusKiB(int pid, const char *field)
{
    const std::string path = pid == 0 ? "/proc/self/status" : "/proc/" + std::to_string(pid) + "/status";
    std::ifstream in(path);
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::strtol(line.c_str() + length + 1, nullptr, 10);
    }
    return -1;
}

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

void onInputCommands(std::function<void(char command)> command)
{
    auto *input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, QCoreApplication::instance());
    auto pending = std::make_shared<std::string>();
    QObject::connect(input, &QSocketNotifier::activated, input, [pending, command = std::move(command)] {
        char buffer[256];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending->append(buffer, size_t(n));
        for (size_t end; (end = pending->find('\n')) != std::string::npos;) {
            const char c = (*pending)[0];
            pending->erase(0, end + 1);
            command(c);
        }
    });
}

void reportLater(int delayMs, long long first, long long second)
{
    QTimer::singleShot(delayMs, [first, second] {
        const std::string report = std::to_string(first) + ' ' + std::to_string(second) + '\n';
        [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, report.data(), report.size());
    });
}

long long heapInUse()
{
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

int connectLoopback(unsigned short port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace bench
