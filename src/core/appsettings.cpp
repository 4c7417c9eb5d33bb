#include "core/appsettings.h"

#include "core/logger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

namespace {

enum class Lookup { Missing, Invalid, Found };

// Scans the arguments for the first one whose name before the first "=" is
// exactly `name`. Arguments that merely begin with the name (a longer option)
// are skipped. The value is everything after the first "=", so values may
// themselves hold "=" (a directory such as /data/a=b); it must not be empty.
Lookup lookupArgument(const QString& name, QString* value, QString* argument)
{
    const QStringList arguments = QCoreApplication::arguments();
    for (const QString& arg : arguments) {
        if (!arg.startsWith(name))
            continue;
        const int equals = arg.indexOf(QLatin1Char('='));
        if ((equals < 0 ? arg : arg.left(equals)) != name)
            continue;
        *argument = arg;
        if (equals < 0 || equals == arg.size() - 1)
            return Lookup::Invalid;
        *value = arg.mid(equals + 1);
        return Lookup::Found;
    }
    return Lookup::Missing;
}

} // namespace

QString appArgument(const QString& name, const QString& defaultValue)
{
    QString value;
    QString argument;
    switch (lookupArgument(name, &value, &argument)) {
    case Lookup::Found:
        return value;
    case Lookup::Invalid:
        Logger::log(Logger::NFO1, "Invalid app argument %s\n", qPrintable(argument));
        return defaultValue;
    case Lookup::Missing:
        break;
    }
    return defaultValue;
}

int appArgumentInt(const QString& name, int defaultValue)
{
    QString value;
    QString argument;
    switch (lookupArgument(name, &value, &argument)) {
    case Lookup::Found: {
        bool ok = false;
        const int number = value.toInt(&ok, 10);
        if (ok)
            return number;
        Logger::log(Logger::NFO1, "Invalid numeric app argument %s\n", qPrintable(value));
        return defaultValue;
    }
    case Lookup::Invalid:
        Logger::log(Logger::NFO1, "Invalid app argument %s\n", qPrintable(argument));
        return defaultValue;
    case Lookup::Missing:
        break;
    }
    return defaultValue;
}

AppSettings::AppSettings()
{
    const QString directory = configDirectory(0);
    if (!QDir(directory).exists()) {
        if (QDir().mkpath(directory))
            Logger::log(Logger::NFO1, "created config directory %s", qPrintable(directory));
        else
            Logger::log(Logger::NFO1, "failed to create config directory %s", qPrintable(directory));
    }
    const QString fileName = directory + QStringLiteral("/config.ini");
    if (!QFile::exists(fileName)) {
        // Created at once so that the user finds the file where we say it is.
        QFile file(fileName);
        file.open(QIODevice::WriteOnly);
    }
    m_settings = new QSettings(fileName, QSettings::IniFormat);
}

AppSettings::~AppSettings()
{
    // Written and released at once: a deferred delete would lose the changes
    // when no event loop runs after this holder goes away.
    if (m_settings) {
        m_settings->sync();
        delete m_settings;
    }
}

QSettings* AppSettings::settings() const
{
    return m_settings;
}

QString AppSettings::configDirectory(int type)
{
    if (type != 0)
        return QString();
    const QString home = QStandardPaths::writableLocation(QStandardPaths::HomeLocation);
    return appArgument(QStringLiteral("--config-dir"), home + QStringLiteral("/.config/velm"));
}

const char* const AppSettings::DefaultLanMulticastGroup = "239.255.255.212";

namespace {
quint16 portSetting(QSettings* settings, const char* key, quint16 defaultPort)
{
    bool ok = false;
    const int port = settings->value(QLatin1String(key), defaultPort).toInt(&ok);
    return ok && port >= 1 && port <= 65535 ? quint16(port) : defaultPort;
}
} // namespace

QString AppSettings::lanMulticastGroup() const
{
    return m_settings->value(QStringLiteral("lan/multicastGroup"), QLatin1String(DefaultLanMulticastGroup))
        .toString()
        .trimmed();
}

quint16 AppSettings::lanMulticastPort() const
{
    return portSetting(m_settings, "lan/multicastPort", DefaultLanMulticastPort);
}

QStringList AppSettings::subnetProbes() const
{
    return m_settings->value(QStringLiteral("lan/subnetProbes"), defaultSubnetProbes()).toStringList();
}

quint16 AppSettings::subnetProbePort() const
{
    return portSetting(m_settings, "lan/subnetProbePort", DefaultSubnetProbePort);
}

QStringList AppSettings::defaultSubnetProbes()
{
    // Gateway addresses common in homes and offices, all of them private.
    return QStringList{
        QStringLiteral("10.0.0.1"),        QStringLiteral("10.0.0.2"),        QStringLiteral("10.0.0.138"),
        QStringLiteral("10.0.1.1"),        QStringLiteral("10.0.10.1"),       QStringLiteral("10.1.1.1"),
        QStringLiteral("10.10.1.1"),       QStringLiteral("10.90.90.90"),     QStringLiteral("172.16.0.1"),
        QStringLiteral("172.16.1.1"),      QStringLiteral("192.168.0.1"),     QStringLiteral("192.168.0.3"),
        QStringLiteral("192.168.0.10"),    QStringLiteral("192.168.0.30"),    QStringLiteral("192.168.0.50"),
        QStringLiteral("192.168.0.100"),   QStringLiteral("192.168.0.101"),   QStringLiteral("192.168.0.254"),
        QStringLiteral("192.168.1.1"),     QStringLiteral("192.168.1.10"),    QStringLiteral("192.168.1.99"),
        QStringLiteral("192.168.1.100"),   QStringLiteral("192.168.1.200"),   QStringLiteral("192.168.1.210"),
        QStringLiteral("192.168.1.254"),   QStringLiteral("192.168.2.1"),     QStringLiteral("192.168.2.254"),
        QStringLiteral("192.168.3.1"),     QStringLiteral("192.168.4.1"),     QStringLiteral("192.168.8.1"),
        QStringLiteral("192.168.10.1"),    QStringLiteral("192.168.10.10"),   QStringLiteral("192.168.10.50"),
        QStringLiteral("192.168.10.100"),  QStringLiteral("192.168.11.1"),    QStringLiteral("192.168.15.1"),
        QStringLiteral("192.168.16.1"),    QStringLiteral("192.168.20.1"),    QStringLiteral("192.168.29.1"),
        QStringLiteral("192.168.30.1"),    QStringLiteral("192.168.50.1"),    QStringLiteral("192.168.55.1"),
        QStringLiteral("192.168.60.1"),    QStringLiteral("192.168.62.1"),    QStringLiteral("192.168.76.1"),
        QStringLiteral("192.168.80.1"),    QStringLiteral("192.168.100.1"),   QStringLiteral("192.168.100.100"),
        QStringLiteral("192.168.102.1"),   QStringLiteral("192.168.123.254"), QStringLiteral("192.168.168.168"),
        QStringLiteral("192.168.178.1"),   QStringLiteral("192.168.223.100"), QStringLiteral("192.168.249.1"),
        QStringLiteral("192.168.251.1"),   QStringLiteral("192.168.254.254"),
    };
}
