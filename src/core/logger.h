#pragma once

#include <QtGlobal>

class QSettings;

// Process-wide log facility. Messages name a channel by number; the set of
// enabled channels is the user's choice and is kept in config.ini. Output is
// discarded in this build: log() writes nothing and isEnabled() answers false,
// so costly log-only work is never done.
class Logger
{
public:
    enum Channel {
        NFO1 = 0, NFO2, ERR1, DBG1, DHT1, DHT2, VMDL, HSK1, TOR1, UDP1, VFS1,
        VCLI, VSRV, VMG1, VMG2, VCPA, DB1, COM1, KCP1, TCP1, TURN1,
        ChannelCount
    };

    static void initChannels(const char* name);
    static void enable(int channel);
    static void disable(int channel);
    static bool isEnabled(int channel);
    static quint32 enabledMask();
    static const char* channelName(unsigned channel);
    static void log(int channel, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
        ;
    static void save(QSettings* settings);
    static void load(QSettings* settings);
};

#define LOG_NFO1(...) Logger::log(Logger::NFO1, __VA_ARGS__)
#define LOG_ERR1(...) Logger::log(Logger::ERR1, __VA_ARGS__)
