#pragma once

#include <QImage>
#include <QMutex>
#include <QSemaphore>
#include <QString>
#include <QStringList>

// Renders PostScript, EPS, Illustrator and (for thumbnails) PDF files with
// the "gs" program into one PNG image. The program is looked for once per
// object with "which gs"; at most MaxRunning renders run at a time, so a
// folder of documents does not start a ghostscript per pool thread.
// Thread-safe.
class Ghostscript
{
public:
    static constexpr int MaxRunning = 2;
    static constexpr int TimeoutMs = 30000;

    Ghostscript();

    // The arguments for a file: path ends in ".ai", ".eps", ".ps" or ".pdf"
    // (any case). One bound of width 256 or less renders a small image at a
    // fifth of the resolution taken from the screen's physical dots per inch.
    static QStringList arguments(const QString& path, const std::vector<QSize>& bounds, double physicalDpi);

    // The program's path; empty when ghostscript is not installed.
    QString program();
    // The PNG the program writes for the file, within ImageCap's limits;
    // null when it is missing, fails or runs over TimeoutMs.
    QImage render(const QString& path, const QStringList& arguments);

private:
    QMutex m_mutex;
    bool m_looked = false;
    QString m_program;
    QSemaphore m_running{MaxRunning};
};
