#include "support/idtranslator.h"

#include <QFile>
#include <QXmlStreamReader>

bool IdTranslator::loadTs(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QXmlStreamReader xml(&file);
    QString id;
    bool numerus = false;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("message")) {
            id = xml.attributes().value(QLatin1String("id")).toString();
            numerus = xml.attributes().value(QLatin1String("numerus")) == QLatin1String("yes");
            m_texts[id].clear();
        } else if (xml.name() == QLatin1String("translation") && !numerus) {
            if (xml.attributes().value(QLatin1String("type")).isEmpty()) {
                const QString text = xml.readElementText(QXmlStreamReader::IncludeChildElements);
                if (!text.trimmed().isEmpty())
                    m_texts[id] = QStringList{text};
            }
        } else if (xml.name() == QLatin1String("numerusform")) {
            m_texts[id].append(xml.readElementText());
        }
    }
    return !xml.hasError() && !m_texts.isEmpty();
}

bool IdTranslator::isEmpty() const
{
    return m_texts.isEmpty();
}

QString IdTranslator::translate(const char*, const char* sourceText, const char*, int n) const
{
    const QStringList forms = m_texts.value(QString::fromUtf8(sourceText));
    if (forms.isEmpty())
        return QString();
    // English and German: one form for 1, the other for the rest.
    return forms.size() > 1 && n != 1 ? forms.at(1) : forms.at(0);
}
