#include "core/uuid.h"

#include <QUuid>

Uuid normalizedUuid(const QString& text)
{
    QString canonical = text.trimmed().toLower();
    if (canonical.size() == 36)
        canonical = QLatin1Char('{') + canonical + QLatin1Char('}');
    if (canonical.size() != 38)
        return text;
    // QUuid ignores trailing text and maps anything unreadable to the null
    // UUID; printing it again and comparing rejects both.
    if (QUuid(canonical).toString() != canonical)
        return text;
    return canonical;
}
