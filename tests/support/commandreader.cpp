#include "support/commandreader.h"

#include <QMetaObject>
#include <QThread>

#include <iostream>
#include <string>

CommandReader::CommandReader(QObject* receiver, std::function<void(const QString&)> handle)
{
    m_thread.reset(QThread::create([receiver, handle] {
        std::string line;
        bool quit = false;
        while (!quit && std::getline(std::cin, line)) {
            const QString text = QString::fromStdString(line).trimmed();
            if (text.isEmpty())
                continue;
            quit = text == QLatin1String("quit");
            QMetaObject::invokeMethod(receiver, [handle, text] { handle(text); }, Qt::QueuedConnection);
        }
        if (!quit)
            QMetaObject::invokeMethod(receiver, [handle] { handle(QStringLiteral("quit")); },
                                      Qt::QueuedConnection);
    }));
}

CommandReader::~CommandReader()
{
    wait();
}

void CommandReader::start()
{
    m_thread->start();
}

void CommandReader::wait()
{
    m_thread->wait();
}
