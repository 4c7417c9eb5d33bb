#pragma once

#include <QString>

#include <functional>
#include <memory>

class QObject;
class QThread;

// A test driver's commands from stdin, one a line, read on a thread of their
// own. Each trimmed, non-empty line is handed to handle() on the receiver's
// thread. The reader stops after "quit" or at the end of input, which hands
// on "quit" too.
class CommandReader
{
public:
    CommandReader(QObject* receiver, std::function<void(const QString&)> handle);
    ~CommandReader();

    void start();
    // Returns once the reader stopped.
    void wait();

private:
    std::unique_ptr<QThread> m_thread;
};
