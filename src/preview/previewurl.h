#pragma once

#include <QString>

// The "image://preview/<peer uuid>/<path>[?<query>]" URLs of the preview
// image provider. The path is percent-encoded once, every byte that is not
// unreserved or "/", so "#", "?", "%" and blanks in file names travel as
// they are; the provider's job decodes it once.
class PreviewUrl
{
public:
    struct Parts
    {
        QString peerUuid;
        QString path;
        QString query; // after "?", e.g. "page=2"; empty without one
    };

    static QString make(const QString& peerUuid, const QString& path, const QString& query = QString());
    // The id as the engine hands it to the provider (the URL after
    // "image://preview/"). False when it names no uuid or no path.
    static bool parse(const QString& id, Parts& parts);
    // The value of a "name=value" query whose name is name; empty when the
    // query is another one or has no value.
    static QString queryValue(const QString& query, const QString& name, bool* present = nullptr);
};
