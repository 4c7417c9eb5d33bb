#pragma once

#include <QString>

class QSettings;

// Looks up a command-line option of the form name=value.
QString appArgument(const QString& name, const QString& defaultValue);
// As appArgument, converted as a decimal integer.
int appArgumentInt(const QString& name, int defaultValue);

// Finds (and creates) the configuration directory and opens config.ini in it.
// Made on the stack wherever settings are read or written; each holder opens
// its own QSettings on the same file.
class AppSettings
{
public:
    AppSettings();
    ~AppSettings();

    AppSettings(const AppSettings&) = delete;
    AppSettings& operator=(const AppSettings&) = delete;

    QSettings* settings() const;

    // Type 0 is the configuration directory; any other type gives "".
    static QString configDirectory(int type);

private:
    QSettings* m_settings = nullptr;
};
