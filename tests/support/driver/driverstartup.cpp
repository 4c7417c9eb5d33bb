#include "support/driver/driverstartup.h"

#include "core/allocatortuning.h"
#include "core/appsettings.h"
#include "core/logger.h"
#include "support/commandreader.h"

#include <QCoreApplication>
#include <QSettings>
#include <QThread>
#include <QThreadPool>

#include <csignal>

DriverStartup::DriverStartup()
{
    Logger::initChannels("velm");
    Logger::enable(Logger::ERR1);
    // As the program does: copies are measured through the drivers.
    AllocatorTuning::apply();
    std::signal(SIGPIPE, SIG_IGN);
}

DriverStartup::~DriverStartup() = default;

void DriverStartup::start(const QString& translationSource)
{
    if (m_english.loadTs(translationSource))
        QCoreApplication::installTranslator(&m_english);
    QCoreApplication::setApplicationName(QStringLiteral("velm"));
    QCoreApplication::setOrganizationName(QStringLiteral("tarnwick"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("velm.invalid"));

    m_settings = std::make_unique<AppSettings>();
    Logger::load(m_settings->settings());
    if (!m_settings->settings()->contains(QStringLiteral("lan/multicastGroup"))) {
        m_settings->settings()->setValue(QStringLiteral("lan/multicastGroup"), QString());
        m_settings->settings()->sync();
    }
}

AppSettings* DriverStartup::settings() const
{
    return m_settings.get();
}

void DriverStartup::endAtQuit(QThread* ioThread, QObject* manager)
{
    QCoreApplication* app = QCoreApplication::instance();
    QObject::connect(app, &QCoreApplication::aboutToQuit, app, [ioThread, manager] {
        manager->deleteLater();
        ioThread->quit();
        ioThread->wait();
        QThreadPool::globalInstance()->waitForDone();
    }, Qt::DirectConnection);
}

int DriverStartup::exec(QThread* ioThread, QObject* receiver, std::function<void(const QString&)> handle)
{
    CommandReader reader(receiver, std::move(handle));
    ioThread->start();
    reader.start();
    const int rc = QCoreApplication::exec();
    reader.wait();
    return rc;
}
