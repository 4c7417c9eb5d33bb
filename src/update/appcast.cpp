#include "update/appcast.h"

#include <QVersionNumber>
#include <QXmlStreamReader>

Appcast::Entry Appcast::parse(const QByteArray& feed)
{
    Entry entry;
    QXmlStreamReader xml(feed);
    for (;;) {
        if (xml.atEnd())
            break;
        if (!entry.url.isEmpty())
            break;
        xml.readNext();
        if (!xml.isStartElement() || xml.hasError() || xml.name() != QLatin1String("enclosure"))
            continue;
        const QXmlStreamAttributes attributes = xml.attributes();
        entry.url = attributes.value(QLatin1String("url")).toString();
        entry.version.clear();
        entry.sha256.clear();
        for (const QXmlStreamAttribute& attribute : attributes) {
            if (attribute.qualifiedName() == QLatin1String("sparkle:shortVersionString"))
                entry.version = attribute.value().toString();
        }
        entry.sha256 = attributes.value(QLatin1String("sha256")).toString();
    }
    entry.version = entry.version.trimmed();
    entry.ok = !entry.url.isEmpty() && !entry.version.isEmpty() && entry.version.size() <= MaxVersionLength
               && entry.url.size() <= MaxUrlLength && isSha256Hex(entry.sha256);
    return entry;
}

bool Appcast::isNewer(const QString& offered, const QString& current)
{
    return QVersionNumber::compare(QVersionNumber::fromString(current), QVersionNumber::fromString(offered)) < 0;
}

bool Appcast::isSha256Hex(const QString& text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    return true;
}
