#include "app/quitsignals.h"

#include "core/logger.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// [0] is written by the handler, [1] read by the event loop.
int s_sockets[2] = { -1, -1 };

void onQuitSignal(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    // Nothing to do when the socket is full: a quit is on its way already.
    [[maybe_unused]] const ssize_t written = ::write(s_sockets[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

bool QuitSignals::install()
{
    if (s_sockets[0] == -1) {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s_sockets) != 0) {
            Logger::log(Logger::ERR1, "quit signals: socketpair failed: %s", strerror(errno));
            return false;
        }
        for (int fd : s_sockets)
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    bool ok = true;
    for (int signalNumber : { SIGINT, SIGTERM }) {
        struct sigaction action = {};
        action.sa_handler = onQuitSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        if (sigaction(signalNumber, &action, nullptr) != 0) {
            Logger::log(Logger::ERR1, "failed to register the handler of signal %d", signalNumber);
            ok = false;
        }
    }
    return ok;
}

QuitSignals::QuitSignals(QObject* parent)
    : QObject(parent)
{
    if (s_sockets[1] == -1)
        return;
    m_notifier = new QSocketNotifier(s_sockets[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitSignals::readSignals);
}

void QuitSignals::readSignals()
{
    char bytes[16];
    ssize_t count;
    while ((count = ::read(s_sockets[1], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            Logger::log(Logger::NFO1, "signal %d: quit", int(bytes[i]));
            emit received(int(bytes[i]));
        }
    }
}
