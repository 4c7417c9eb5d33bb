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
