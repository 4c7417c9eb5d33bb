#pragma once

#include <QByteArray>
#include <QString>

// The update feed: an appcast XML document whose first "enclosure" element
// with a non-empty "url" names the offered version
// ("sparkle:shortVersionString"), the archive's address ("url") and its
// SHA-256 ("sha256"). The bytes come from the network.
class Appcast
{
public:
    // Longest version text taken from a feed; it ends up in a label.
    static constexpr int MaxVersionLength = 64;
    static constexpr int MaxUrlLength = 4096;

    struct Entry
    {
        // True only when url, version and sha256 are all usable.
        bool ok = false;
        QString url;
        QString version;
        QString sha256;
    };

    // Reads the feed. A document without a usable enclosure (none, an empty
    // version, no 64-digit hexadecimal sha256, an over-long version or url),
    // or one that breaks off as malformed XML before one, is not ok.
    static Entry parse(const QByteArray& feed);

    // Whether `offered` is a higher version than `current`, compared as
    // version numbers (0.5.9 is lower than 0.5.22).
    static bool isNewer(const QString& offered, const QString& current);

    static bool isSha256Hex(const QString& text);
};
