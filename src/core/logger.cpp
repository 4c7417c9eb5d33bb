#include "core/logger.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSettings>
#include <QVariant>

namespace {

QMutex s_mutex;
const char* s_names[Logger::ChannelCount];
quint32 s_mask = 0;
bool s_initialised = false;

const char* const kChannelNames[Logger::ChannelCount] = {
    "NFO1", "NFO2", "ERR1", "DBG1", "DHT1", "DHT2", "VMDL", "HSK1", "TOR1", "UDP1", "VFS1",
    "VCLI", "VSRV", "VMG1", "VMG2", "VCPA", "DB1", "COM1", "KCP1", "TCP1", "TURN1",
};

} // namespace

void Logger::initChannels(const char* /*name*/)
{
    QMutexLocker lock(&s_mutex);
    if (s_initialised)
        return;
    s_initialised = true;
    s_mask = 0;
    for (int i = 0; i < ChannelCount; ++i)
        s_names[i] = kChannelNames[i];
}

void Logger::enable(int channel)
{
    QMutexLocker lock(&s_mutex);
    s_mask |= 1u << (unsigned(channel) % 32u);
}

void Logger::disable(int channel)
{
    QMutexLocker lock(&s_mutex);
    s_mask &= ~(1u << (unsigned(channel) % 32u));
}

bool Logger::isEnabled(int /*channel*/)
{
    return false;
}

quint32 Logger::enabledMask()
{
    QMutexLocker lock(&s_mutex);
    return s_mask;
}

const char* Logger::channelName(unsigned channel)
{
    if (channel >= ChannelCount)
        return nullptr;
    return s_names[channel];
}

void Logger::log(int /*channel*/, const char* /*format*/, ...)
{
    // The sink is silent by design.
}

void Logger::save(QSettings* settings)
{
    if (!settings)
        return;
    QMutexLocker lock(&s_mutex);
    settings->beginGroup(QStringLiteral("Logger"));
    for (int i = 0; i < ChannelCount; ++i) {
        if (s_names[i])
            settings->setValue(QLatin1String(s_names[i]), bool(s_mask & (1u << i)));
    }
    settings->endGroup();
}

void Logger::load(QSettings* settings)
{
    if (!settings)
        return;
    QMutexLocker lock(&s_mutex);
    settings->beginGroup(QStringLiteral("Logger"));
    for (int i = 0; i < ChannelCount; ++i) {
        if (!s_names[i])
            continue;
        const QVariant value = settings->value(QLatin1String(s_names[i]));
        if (!value.isValid())
            continue;
        const int type = value.userType();
        if (type != QMetaType::Bool && type != QMetaType::QString)
            continue;
        if (value.toBool())
            s_mask |= 1u << i;
        else
            s_mask &= ~(1u << i);
    }
    if (settings->contains(QStringLiteral("FP"))) {
        // Output goes nowhere, whatever the file names as its target.
        const QString target = settings->value(QStringLiteral("FP")).toString();
        const bool standardStream =
            target == QLatin1String("stdout") || target == QLatin1String("stderr");
        Q_UNUSED(standardStream);
    }
    settings->endGroup();
}
