#pragma once

#include <QHash>
#include <QStringList>
#include <QTranslator>

// Serves the texts of one id-based .ts file, as the built-in translations
// do, so that tests and test drivers show the words the user sees.
class IdTranslator : public QTranslator
{
public:
    bool loadTs(const QString& path);

    bool isEmpty() const override;
    QString translate(const char* context, const char* sourceText, const char* disambiguation,
                      int n) const override;

private:
    QHash<QString, QStringList> m_texts;
};
