#pragma once

#include <QString>
#include <QStringList>

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

    // Where the local network is spoken to, group "lan" of config.ini, so
    // that a test can point every one of them at a network of its own.
    // The multicast group of the invitation announcer ("lan/multicastGroup",
    // an empty value turns the announcer off) and its UDP port
    // ("lan/multicastPort").
    QString lanMulticastGroup() const;
    quint16 lanMulticastPort() const;
    // The addresses subnet discovery probes ("lan/subnetProbes") and the TCP
    // port it probes them on ("lan/subnetProbePort").
    QStringList subnetProbes() const;
    quint16 subnetProbePort() const;

    static const char* const DefaultLanMulticastGroup;
    static constexpr quint16 DefaultLanMulticastPort = 6009;
    static constexpr quint16 DefaultSubnetProbePort = 80;
    static QStringList defaultSubnetProbes();

private:
    QSettings* m_settings = nullptr;
};
