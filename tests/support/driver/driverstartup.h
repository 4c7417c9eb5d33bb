#pragma once

#include "core/machineclassifier.h"
#include "support/idtranslator.h"

#include <QString>

#include <functional>
#include <memory>

class AppSettings;
class QObject;
class QThread;

// What an end-to-end driver sets up as the program does, around its own
// parts. Made first in main(): the log's channels with errors on, SIGPIPE
// ignored, the machine classifier. start() once the application object
// exists: English texts read from the translation source, the program's
// names, and the settings (from --config-dir), in which no multicast group is
// announced on unless the test's configuration names one.
class DriverStartup
{
public:
    DriverStartup();
    ~DriverStartup();

    DriverStartup(const DriverStartup&) = delete;
    DriverStartup& operator=(const DriverStartup&) = delete;

    void start(const QString& translationSource);
    AppSettings* settings() const;

    // When the application quits, as the program: the manager is deleted on
    // its thread, the io thread ends, and the pool's threads end before the
    // libraries' exit handlers run.
    static void endAtQuit(QThread* ioThread, QObject* manager);

    // Starts the io thread and the command reader (each line handed to
    // handle() on the receiver's thread), runs the event loop and returns
    // its exit code once the reader stopped.
    static int exec(QThread* ioThread, QObject* receiver, std::function<void(const QString&)> handle);

private:
    MachineClassifier m_classifier;
    IdTranslator m_english;
    std::unique_ptr<AppSettings> m_settings;
};
