#include "imaging/ghostscript.h"

#include "core/logger.h"
#include "imaging/imagecap.h"

#include <QBuffer>
#include <QImageReader>
#include <QProcess>

#include <algorithm>

Ghostscript::Ghostscript() = default;

QStringList Ghostscript::arguments(const QString& path, const std::vector<QSize>& bounds, double physicalDpi)
{
    QStringList args{QStringLiteral("-dSAFER"),       QStringLiteral("-dBATCH"),
                     QStringLiteral("-dNOPAUSE"),     QStringLiteral("-sDEVICE=png16m"),
                     QStringLiteral("-dGraphicsAlphaBits=4"), QStringLiteral("-dTextAlphaBits=4"),
                     QStringLiteral("-q"),            QStringLiteral("-o"),
                     QStringLiteral("-")};
    if (path.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive)) {
        args << QStringLiteral("-sPageList=1") << QStringLiteral("-r300") << QStringLiteral("-dDownScaleFactor=2");
    } else {
        args << QStringLiteral("-dEPSCrop");
        const int r = std::clamp(int(physicalDpi * 1.5), 200, 300);
        if (bounds.size() == 1 && bounds.front().width() <= 256)
            args << QStringLiteral("-r%1").arg((r / 10) * 2) << QStringLiteral("-dDownScaleFactor=1");
        else
            args << QStringLiteral("-r%1").arg(r) << QStringLiteral("-dDownScaleFactor=2");
    }
    // A path that starts with "-" would read as an option.
    args << (path.startsWith(QLatin1Char('-')) ? QStringLiteral("./") + path : path);
    return args;
}

QString Ghostscript::program()
{
    QMutexLocker lock(&m_mutex);
    if (m_looked)
        return m_program;
    m_looked = true;
    QProcess which;
    which.start(QStringLiteral("which"), {QStringLiteral("gs")}, QIODevice::ReadOnly);
    if (which.waitForFinished(TimeoutMs) && which.exitStatus() == QProcess::NormalExit && which.exitCode() == 0)
        m_program = QString::fromLocal8Bit(which.readAllStandardOutput()).trimmed();
    else if (which.state() != QProcess::NotRunning) {
        which.kill();
        which.waitForFinished(1000);
    }
    if (m_program.isEmpty())
        Logger::log(Logger::ERR1, "ghostscript not installed");
    return m_program;
}

QImage Ghostscript::render(const QString& path, const QStringList& arguments)
{
    const QString gs = program();
    if (gs.isEmpty())
        return QImage();
    m_running.acquire();
    Logger::log(Logger::NFO1, "using ghostscript %s", qUtf8Printable(gs));
    Logger::log(Logger::NFO1, "%s %s", qUtf8Printable(gs), qUtf8Printable(arguments.join(QLatin1Char(' '))));
    QProcess process;
    process.start(gs, arguments, QIODevice::ReadOnly);
    const bool finished = process.waitForFinished(TimeoutMs);
    QImage image;
    if (!finished) {
        Logger::log(Logger::ERR1, "ghostscript did not finish within %d ms: %s", TimeoutMs, qUtf8Printable(path));
        process.kill();
        process.waitForFinished(1000);
    } else {
        QByteArray output = process.readAllStandardOutput();
        if (output.isEmpty() || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            Logger::log(Logger::ERR1, "ghostscript failes, exit code %d\n%s", process.exitCode(),
                        process.readAllStandardError().constData());
        } else {
            QBuffer buffer(&output);
            buffer.open(QIODevice::ReadOnly);
            QImageReader reader(&buffer, "png");
            image = ImageCap::read(reader);
            if (!image.isNull())
                Logger::log(Logger::NFO1, "ghostscript output %dx%d", image.width(), image.height());
        }
    }
    m_running.release();
    return image;
}
