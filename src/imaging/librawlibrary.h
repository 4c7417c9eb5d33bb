#pragma once

#include <QImage>
#include <QString>
#include <QVariantMap>

// LibRaw, opened at run time: the library handle and the entry points the
// loader calls. The loader reads LibRaw's own data structures, so the library
// is used only when its version is the one whose headers this build was made
// with; otherwise (and when the library is missing or hidden) nothing is
// loaded and RAW files show their embedded JPEG streams.
class LibRawLibrary
{
public:
    // The environment variable that, set to 1, keeps LibRaw from being opened.
    static constexpr const char* HideVariable = "VELM_HIDE_LIBRAW";

    // Opens the library; loaded() says whether it can be used.
    LibRawLibrary();
    ~LibRawLibrary();
    LibRawLibrary(const LibRawLibrary&) = delete;
    LibRawLibrary& operator=(const LibRawLibrary&) = delete;

    bool loaded() const;
    // Why it is not loaded, for the log; empty when it is.
    QString error() const;
    // The library file names tried, in order.
    static QStringList candidateNames();

    struct RawImage
    {
        QImage image;
        bool oriented = false; // a developed image is already turned upright
    };

    // The file's embedded thumbnail, or when it has none the developed RAW;
    // adds the camera fields (Make, Model, Lens, ISO, ...) and "Rotation".
    // A null image when the library is not loaded or the file is no RAW.
    RawImage read(const QString& path, QVariantMap& exif) const;

private:
    struct Table;
    Table* m_table;
    QString m_error;
};
