#pragma once

#include <QQmlNetworkAccessManagerFactory>
#include <QStringList>

class QQmlEngine;

// The network access of the shared QML engine: a manager that serves only
// the program's own schemes ("qrc", "file", "image") and refuses every other
// request with an error before anything leaves the process. Text from peers
// and file systems can hold markup such as <img src="http://...">; whatever
// a QML item makes of it, no QML ever reaches the network.
class QmlNetworkGuard : public QQmlNetworkAccessManagerFactory
{
public:
    QNetworkAccessManager* create(QObject* parent) override;

    // The schemes the engine's manager serves.
    static QStringList allowedSchemes();
    // Installs the process's guard on the engine (one guard serves every
    // engine; engines do not delete their factory).
    static void install(QQmlEngine* engine);
    // Requests refused so far by all guards of the process.
    static int refusedCount();
};
