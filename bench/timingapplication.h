#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <algorithm>
#include <ctime>

// Times every event delivered from the event loop of the window's thread
// while `measuring` is set and keeps the slowest, with what received it, so
// that a stall can be put down to its source; also the most processor time
// one event took on that thread, which, unlike the wall clock, other load on
// the machine does not inflate.
class TimingApplication : public QApplication
{
public:
    using QApplication::QApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        if (!measuring || depth > 0 || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        ++depth;
        // The receiver may be gone once the event is handled.
        QObject* owner = receiver->parent();
        const char* className = receiver->metaObject()->className();
        const char* ownerName = owner ? owner->metaObject()->className() : "";
        const QString objectName = receiver->objectName();
        const int type = int(event->type());
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = threadCpuMs();
        const bool done = QApplication::notify(receiver, event);
        const double ms = timer.nsecsElapsed() / 1e6;
        mostCpu = std::max(mostCpu, threadCpuMs() - cpuStart);
        --depth;
        if (ms > slowest) {
            slowest = ms;
            slowestWhat = QStringLiteral("%1 %2 of %3 (event %4)")
                              .arg(QString::fromLatin1(className), objectName, QString::fromLatin1(ownerName))
                              .arg(type);
        }
        return done;
    }

    static double threadCpuMs()
    {
        timespec now{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
    }

    // Clears the figures and starts (or stops) timing.
    void measure(bool on)
    {
        if (on) {
            slowest = 0;
            mostCpu = 0;
            slowestWhat.clear();
        }
        measuring = on;
    }

    bool measuring = false;
    int depth = 0;
    double slowest = 0;
    double mostCpu = 0;
    QString slowestWhat;
};
