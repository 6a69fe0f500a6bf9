#include "faultHandler.h"

#include <QFile>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::atomic<const char *> currentOperation{"Wardline Main"};
// Two buffers, so that the path is never read while it is rewritten.
char logPaths[2][4096];
std::atomic<int> activePath{-1};
std::atomic<long> utcOffsetSeconds{0};

size_t append(char *out, size_t at, size_t size, const char *text)
{
    while (*text && at + 1 < size)
        out[at++] = *text++;
    return at;
}

size_t appendHex(char *out, size_t at, size_t size, unsigned long long value)
{
    char digits[20];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[value & 15];
        value >>= 4;
    } while (value);
    while (n && at + 1 < size)
        out[at++] = digits[--n];
    return at;
}

size_t appendTwo(char *out, size_t at, long value)
{
    out[at++] = char('0' + value / 10 % 10);
    out[at++] = char('0' + value % 10);
    return at;
}

void onFault(int signal, siginfo_t *info, void *)
{
    char line[512];
    // "hh:mm:ss.zzz - " from the clock and the offset prepared beforehand.
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    const long local = long((now.tv_sec + utcOffsetSeconds.load()) % 86400 + 86400) % 86400;
    size_t at = 0;
    at = appendTwo(line, at, local / 3600);
    line[at++] = ':';
    at = appendTwo(line, at, local / 60 % 60);
    line[at++] = ':';
    at = appendTwo(line, at, local % 60);
    line[at++] = '.';
    const long ms = now.tv_nsec / 1000000;
    line[at++] = char('0' + ms / 100);
    at = appendTwo(line, at, ms % 100);
    at = append(line, at, sizeof line, " - Wardline: ");
    at = append(line, at, sizeof line, currentOperation.load());
    at = append(line, at, sizeof line, " - thrown exception ");
    at = appendHex(line, at, sizeof line, static_cast<unsigned>(signal));
    at = append(line, at, sizeof line, " from ");
    at = appendHex(line, at, sizeof line, reinterpret_cast<uintptr_t>(info ? info->si_addr : nullptr));
    line[at++] = '\n';

    ssize_t ignored = ::write(STDERR_FILENO, line, at);
    const int path = activePath.load();
    if (path >= 0) {
        const int fd = ::open(logPaths[path], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ignored = ::write(fd, line, at);
            ::close(fd);
        }
    }
    (void)ignored;
    _exit(1);
}

} // namespace

namespace faultHandler {

void install()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = onFault;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        sigaction(signal, &action, nullptr);
}

void setOperation(const char *name)
{
    currentOperation = name ? name : "";
}

const char *operation()
{
    return currentOperation.load();
}

void setLogFile(const QString &path)
{
    const QByteArray encoded = QFile::encodeName(path);
    const int next = activePath.load() == 0 ? 1 : 0;
    const size_t length = std::min(size_t(encoded.size()), sizeof logPaths[next] - 1);
    std::memcpy(logPaths[next], encoded.constData(), length);
    logPaths[next][length] = '\0';
    activePath = next;
    const std::time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    utcOffsetSeconds = local.tm_gmtoff;
}

QString logFile()
{
    const int path = activePath.load();
    return path < 0 ? QString() : QFile::decodeName(logPaths[path]);
}

void fatal()
{
    std::exit(1);
}

} // namespace faultHandler
