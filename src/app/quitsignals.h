#pragma once

#include <QObject>

class QSocketNotifier;

// SIGINT and SIGTERM ask the program to end the way closing its window does.
// The handlers only write the signal's number into one end of a socket pair;
// a QuitSignals reads the other end in the event loop of the thread it lives
// in and emits received() there, so the quit runs in ordinary code. A signal
// that comes after install() but before the QuitSignals exists waits in the
// socket.
class QuitSignals : public QObject
{
    Q_OBJECT
public:
    // Makes the socket pair and installs the handlers; false when either
    // fails (the signal then keeps its previous handling). Call it once,
    // before the application object is made.
    static bool install();

    explicit QuitSignals(QObject* parent = nullptr);

signals:
    void received(int signalNumber);

private:
    void readSignals();

    QSocketNotifier* m_notifier = nullptr;
};
