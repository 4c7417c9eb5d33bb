#include "manager/proxy.h"
#include "core/logger.h"

#include <QNetworkProxyFactory>
#include <QNetworkProxyQuery>

Proxy::Proxy(QObject* parent) : QObject(parent) {}

QNetworkProxy Proxy::systemProxy() const
{
    return pickProxy(QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery()));
}

QNetworkProxy Proxy::pickProxy(const QList<QNetworkProxy>& proxies)
{
    for (const QNetworkProxy& proxy : proxies) {
        Logger::log(Logger::NFO1, "proxy %s:%u, type: %d", qUtf8Printable(proxy.hostName()), unsigned(proxy.port()),
                    int(proxy.type()));
        if (proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::Socks5Proxy)
            return proxy;
    }
    return QNetworkProxy();
}
