#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

// One directory under watch, as the slow poll sees it. The poll works on a
// copy and hands the copy back when it is done.
struct WatchItem
{
    QString path;
    quint64 previousHash = 0; // hash before the last check; 0 = never checked
    quint64 hash = 0;         // hash of the listing at the last check
    qint64 checkMillis = 0;   // how long the last check took
    QDateTime lastChecked;    // local time of the last check
    QDateTime unused;         // kept invalid
    bool exists = false;      // the directory existed at the last check
};

Q_DECLARE_METATYPE(WatchItem)
