#include "update/updatesource.h"

#include "core/appsettings.h"

#include <QHostAddress>
#include <QSettings>

namespace {
QString setting(const char* key)
{
    AppSettings appSettings;
    return appSettings.settings()->value(QLatin1String(key)).toString().trimmed();
}
} // namespace

QString UpdateSource::baseAddress()
{
    QString base = setting("update/baseurl");
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base;
}

QString UpdateSource::downloadPage()
{
    return setting("update/downloadpage");
}

QString UpdateSource::webSite()
{
    return setting("about/website");
}

qint64 UpdateSource::downloadLimit()
{
    bool ok = false;
    const qint64 limit = setting("update/downloadlimit").toLongLong(&ok);
    return ok && limit > 0 ? limit : DefaultDownloadLimit;
}

bool UpdateSource::isLoopbackHost(const QString& host)
{
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    QHostAddress address;
    return address.setAddress(host) && address.isLoopback();
}

bool UpdateSource::isAllowed(const QUrl& url)
{
    if (!url.isValid() || url.isRelative() || url.host().isEmpty() || !url.userInfo().isEmpty())
        return false;
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return true;
    return scheme == QLatin1String("http") && isLoopbackHost(url.host());
}

bool UpdateSource::isAllowedRedirect(const QUrl& from, const QUrl& to)
{
    if (!isAllowed(to))
        return false;
    return from.scheme().toLower() != QLatin1String("https") || to.scheme().toLower() == QLatin1String("https");
}

bool UpdateSource::isBrowserAddress(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
           && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}
