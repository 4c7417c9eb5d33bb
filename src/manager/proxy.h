#pragma once

#include "com/tor/isystemproxy.h"

#include <QList>
#include <QNetworkProxy>
#include <QObject>

// The system's network proxy, for Tor and the update check.
class Proxy : public QObject, public ISystemProxy
{
    Q_OBJECT
public:
    explicit Proxy(QObject* parent = nullptr);

    // The first HTTP or SOCKS5 proxy the system names for a default query,
    // or a default-constructed proxy when there is none.
    QNetworkProxy systemProxy() const override;
    // The rule, for any list of proxies.
    static QNetworkProxy pickProxy(const QList<QNetworkProxy>& proxies);
};
