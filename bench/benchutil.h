#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QString>

#include <fcntl.h>
#include <unistd.h>

// Small helpers the benchmark programs share.
namespace bench {

// Runs the event loop until done() holds; false after timeoutMs.
template <class Done>
bool waitFor(Done done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// Creates count empty files "entry-<i>" in dir.
inline bool makeEntries(const QString& dir, int count)
{
    for (int i = 0; i < count; ++i) {
        const QByteArray path = QFile::encodeName(dir) + "/entry-" + QByteArray::number(i);
        const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    return true;
}

} // namespace bench
