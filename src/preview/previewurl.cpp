#include "preview/previewurl.h"

#include <QUrl>

QString PreviewUrl::make(const QString& peerUuid, const QString& path, const QString& query)
{
    QString url = QStringLiteral("image://preview/")
                  + QString::fromLatin1(QUrl::toPercentEncoding(peerUuid))
                  + QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(path, "/"));
    if (!query.isEmpty())
        url += QLatin1Char('?') + query;
    return url;
}

bool PreviewUrl::parse(const QString& id, Parts& parts)
{
    // The engine passes the URL's path in its pretty form: "?" and "#" of
    // names are still encoded, so the first literal "?" starts the query.
    const int question = id.indexOf(QLatin1Char('?'));
    QString rest = question >= 0 ? id.left(question) : id;
    parts.query = question >= 0 ? id.mid(question + 1) : QString();
    const int hash = parts.query.indexOf(QLatin1Char('#'));
    if (hash >= 0)
        parts.query.truncate(hash);
    const int slash = rest.indexOf(QLatin1Char('/'));
    if (slash <= 0)
        return false;
    parts.peerUuid = QUrl::fromPercentEncoding(rest.left(slash).toUtf8());
    parts.path = QUrl::fromPercentEncoding(rest.mid(slash + 1).toUtf8());
    return !parts.path.isEmpty();
}

QString PreviewUrl::queryValue(const QString& query, const QString& name, bool* present)
{
    const int eq = query.indexOf(QLatin1Char('='));
    const QString key = eq >= 0 ? query.left(eq) : query;
    const bool found = key == name;
    if (present)
        *present = found;
    return found && eq >= 0 ? query.mid(eq + 1) : QString();
}
