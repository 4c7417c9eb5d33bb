#include "archive/p7zip.h"

#include "archive/archivelisting.h"
#include "core/appsettings.h"
#include "core/logger.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTimer>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>

const char* const P7Zip::ProgramKey = "archive/program";
const char* const P7Zip::DefaultProgram = "/usr/bin/7z";

namespace {

// Bounds of what is kept of 7z's error output.
constexpr int MaxErrorBytes = 64 * 1024;
// Names tried when moving out of the hidden folder.
constexpr int MaxFreeNameTries = 10000;

// Something is at path, a dangling link included.
bool taken(const QString& path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

bool renameNoReplace(const QString& from, const QString& to)
{
    return ::renameat2(AT_FDCWD, QFile::encodeName(from).constData(), AT_FDCWD,
                       QFile::encodeName(to).constData(), RENAME_NOREPLACE)
           == 0;
}

bool mentionsPassword(const QByteArray& errorOutput)
{
    const QByteArray lower = errorOutput.toLower();
    return lower.contains("wrong password") || lower.contains("encrypted");
}

void appendBounded(QByteArray* buffer, const QByteArray& bytes)
{
    if (buffer->size() < MaxErrorBytes)
        buffer->append(bytes.left(MaxErrorBytes - buffer->size()));
}

} // namespace

class P7Zip::Private
{
public:
    QString archivePath;
    QString destinationDir;
    QString extractDir;
    QString movedEntry;
    QString singleEntry; // the one top-level name, when there is exactly one
    QString program;
    QProcess* listProcess = nullptr;
    QProcess* process = nullptr;
    QTimer listTimer;
    QByteArray listOutput;
    QByteArray listErrors;
    QByteArray extractErrors;
    ArchiveListing listing;
    MoveFunction move = renameNoReplace;
    QString error;
    bool started = false;
    bool done = false;
    bool cancelled = false;
    bool timedOut = false;
    bool outputTooLarge = false;
};

P7Zip::P7Zip(const QString& archivePath, QObject* parent) : QObject(parent), d(new Private)
{
    d->archivePath = archivePath;
    d->program = program();
    d->listTimer.setSingleShot(true);
    d->listTimer.setInterval(DefaultListingTimeoutMs);
}

P7Zip::~P7Zip()
{
    Logger::log(Logger::DBG1, "~P7Zip()");
    delete d;
}

QString P7Zip::program()
{
    AppSettings settings;
    return settings.settings()->value(QLatin1String(ProgramKey), QLatin1String(DefaultProgram)).toString();
}

bool P7Zip::isAvailable(const QString& fileName)
{
    const QFileInfo tool(program());
    if (!tool.isFile() || !tool.isExecutable())
        return false;
    static const char* const suffixes[] = {".zip", ".7z", ".xz", ".lzma", ".gz", ".bz2"};
    for (const char* suffix : suffixes) {
        if (fileName.endsWith(QLatin1String(suffix), Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QString P7Zip::errorString() const
{
    return d->error;
}

void P7Zip::setListingTimeout(int ms)
{
    d->listTimer.setInterval(ms);
}

void P7Zip::setMoveFunction(MoveFunction move)
{
    d->move = std::move(move);
}

int P7Zip::progressFromOutput(const QByteArray& chunk)
{
    int at = 0;
    while (at < chunk.size() && !std::isalnum(static_cast<unsigned char>(chunk.at(at))))
        ++at;
    const QByteArray rest = chunk.mid(at);
    if (rest.size() < 4 || rest.at(0) < '0' || rest.at(0) > '9')
        return -1;
    const int percent = rest.indexOf('%');
    if (percent < 0)
        return -1;
    bool ok = false;
    const int value = rest.left(percent).toInt(&ok);
    return ok && value >= 0 && value <= 100 ? value : -1;
}

QString P7Zip::uniquePath(const QString& path)
{
    if (!taken(path))
        return path;
    for (int n = 1;; ++n) {
        const QString candidate = QStringLiteral("%1 (%2)").arg(path).arg(n);
        if (!taken(candidate))
            return candidate;
    }
}

void P7Zip::splitName(const QString& name, QString* base, QString* suffix)
{
    base->clear();
    suffix->clear();
    const int dot = name.indexOf(QLatin1Char('.'));
    if (dot <= 0)
        return; // no suffix, or a hidden name: numbered as a whole
    const QStringList parts = name.mid(dot + 1).split(QLatin1Char('.'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return;
    QString b = name.left(dot);
    QString s = parts.last();
    for (int i = parts.size() - 2; i >= 0; --i) {
        const QString& part = parts.at(i);
        bool digits = !part.isEmpty();
        for (const QChar c : part)
            digits = digits && c.isDigit();
        if (part.size() <= 4 && !digits) {
            s = part + QLatin1Char('.') + s;
            continue;
        }
        b += QLatin1Char('.') + parts.mid(0, i + 1).join(QLatin1Char('.'));
        break;
    }
    *base = b;
    *suffix = s;
}

QString P7Zip::hiddenFolderName(const QString& archiveFileName)
{
    return QLatin1Char('.') + QFileInfo(archiveFileName).completeBaseName()
           + QString::number(qHash(archiveFileName, 0));
}

bool P7Zip::extract(const QString& destinationDir)
{
    if (d->started || d->archivePath.isEmpty() || !QFileInfo(d->archivePath).isFile()
        || destinationDir.isEmpty() || !QFileInfo(destinationDir).isDir())
        return false;
    d->started = true;
    d->destinationDir = destinationDir;

    d->listProcess = new QProcess(this);
    d->listProcess->setStandardInputFile(QProcess::nullDevice());
    connect(d->listProcess, &QProcess::readyReadStandardOutput, this, [this] {
        d->listOutput.append(d->listProcess->readAllStandardOutput());
        if (d->listOutput.size() > ArchiveListing::MaxOutputBytes && !d->outputTooLarge) {
            d->outputTooLarge = true;
            d->listProcess->kill();
        }
    });
    connect(d->listProcess, &QProcess::readyReadStandardError, this,
            [this] { appendBounded(&d->listErrors, d->listProcess->readAllStandardError()); });
    connect(d->listProcess, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
            &P7Zip::onListingFinished);
    connect(d->listProcess, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onListingFinished();
    });
    connect(&d->listTimer, &QTimer::timeout, this, [this] {
        d->timedOut = true;
        d->listProcess->kill();
    });
    // An empty password: an archive that needs one fails at once instead of
    // waiting for a password on the (closed) standard input.
    d->listProcess->start(d->program, {QStringLiteral("l"), QStringLiteral("-ba"), QStringLiteral("-slt"),
                                       QStringLiteral("-p"), QStringLiteral("--"), d->archivePath});
    d->listTimer.start();
    return true;
}

void P7Zip::abortExtract()
{
    if (d->done)
        return;
    d->cancelled = true;
    if (d->listProcess && d->listProcess->state() != QProcess::NotRunning)
        d->listProcess->kill();
    if (d->process && d->process->state() != QProcess::NotRunning)
        d->process->terminate();
}

namespace {

QString faultText(ArchiveListing::Fault fault, const QString& entry)
{
    switch (fault) {
    case ArchiveListing::Encrypted:
        //% "password-protected archives are not supported"
        return qtTrId("archive-reason-password");
    case ArchiveListing::AbsolutePath:
    case ArchiveListing::ParentComponent:
    case ArchiveListing::UnsafeName:
    case ArchiveListing::UnsafeLink:
    case ArchiveListing::UncheckedLink:
        //% "it holds an entry that would be written outside its folder or cannot be checked (%1)"
        return qtTrId("archive-reason-unsafe").arg(entry);
    default:
        //% "the listing of the archive could not be read"
        return qtTrId("archive-reason-listing");
    }
}

} // namespace

// Ends the extraction with a failure, once; the object goes after it.
static void finishFailed(P7Zip* self, QString* error, bool cancelled, const QString& archivePath,
                         const QString& reason)
{
    const QString name = QFileInfo(archivePath).fileName();
    if (cancelled)
        //% "Extraction of %1 was cancelled"
        *error = qtTrId("archive-extract-cancelled").arg(name);
    else if (reason.isEmpty())
        //% "Extraction of %1 failed"
        *error = qtTrId("archive-extract-failed").arg(name);
    else
        //% "Extraction of %1 failed: %2"
        *error = qtTrId("archive-extract-failed-reason").arg(name, reason);
    Logger::log(Logger::DBG1, "7z: %s", qUtf8Printable(*error));
    emit self->extractionFailed(*error);
    emit self->failedExtracting();
    self->deleteLater();
}

void P7Zip::onListingFinished()
{
    if (d->done)
        return;
    d->listTimer.stop();
    QProcess* list = d->listProcess;
    auto fail = [this](const QString& reason) {
        d->done = true;
        finishFailed(this, &d->error, d->cancelled, d->archivePath, reason);
    };
    if (d->cancelled)
        return fail(QString());
    if (d->timedOut)
        //% "7z did not finish listing the archive in time"
        return fail(qtTrId("archive-reason-timeout"));
    if (list->error() == QProcess::FailedToStart)
        //% "%1 could not be started"
        return fail(qtTrId("archive-reason-nostart").arg(d->program));
    d->listOutput.append(list->readAllStandardOutput());
    appendBounded(&d->listErrors, list->readAllStandardError());
    if (d->outputTooLarge)
        return fail(faultText(ArchiveListing::TooLarge, QString()));
    if (mentionsPassword(d->listErrors))
        return fail(faultText(ArchiveListing::Encrypted, QString()));
    if (list->exitStatus() != QProcess::NormalExit)
        //% "7z stopped abnormally"
        return fail(qtTrId("archive-reason-crash"));
    if (list->exitCode() != 0)
        //% "7z reported error %1"
        return fail(qtTrId("archive-reason-exitcode").arg(list->exitCode()));
    if (!d->listing.parse(d->listOutput))
        return fail(faultText(d->listing.fault(), d->listing.faultEntry()));
    d->listOutput.clear();

    // Where the content goes.
    const QFileInfo archive(d->archivePath);
    const QString base = archive.completeBaseName();
    if (d->listing.topLevelCount() == 1) {
        d->singleEntry = d->listing.topFiles().isEmpty() ? d->listing.topFolders().first()
                                                         : d->listing.topFiles().first();
        if (!taken(d->destinationDir + QLatin1Char('/') + d->singleEntry)) {
            d->extractDir = d->destinationDir;
        } else {
            d->extractDir = uniquePath(d->destinationDir + QLatin1Char('/') + hiddenFolderName(archive.fileName()));
            d->movedEntry = d->singleEntry;
        }
    } else {
        d->extractDir = uniquePath(d->destinationDir + QLatin1Char('/') + base);
    }
    Logger::log(Logger::DBG1, "7Zip destination: %s", qUtf8Printable(d->extractDir));

    d->process = new QProcess(this);
    d->process->setStandardInputFile(QProcess::nullDevice());
    connect(d->process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &P7Zip::onFinished);
    connect(d->process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            onFinished();
    });
    connect(d->process, &QProcess::readyReadStandardOutput, this, &P7Zip::onReadyReadStandardOutput);
    connect(d->process, &QProcess::readyReadStandardError, this,
            [this] { appendBounded(&d->extractErrors, d->process->readAllStandardError()); });
    emit startExtracting(archive.fileName(), archive.size());
    if (d->done)
        return; // a slot cancelled
    d->process->start(d->program, {QStringLiteral("x"), QStringLiteral("-y"), QStringLiteral("-bsp1"),
                                   QStringLiteral("-p"), QStringLiteral("-o") + d->extractDir,
                                   QStringLiteral("--"), d->archivePath});
}

void P7Zip::onReadyReadStandardOutput()
{
    const QByteArray chunk = d->process->readAllStandardOutput();
    const int percent = progressFromOutput(chunk);
    if (percent >= 0)
        emit extractProgress(percent);
    Logger::log(Logger::DBG1, "%s", chunk.constData());
}

void P7Zip::onFinished()
{
    if (d->done)
        return;
    d->done = true;
    QProcess* p = d->process;
    auto fail = [this](const QString& reason) { finishFailed(this, &d->error, d->cancelled, d->archivePath, reason); };
    Logger::log(Logger::DBG1, "7z extract finished. exitCode: %d, exitStatus: %d", p->exitCode(),
                int(p->exitStatus()));
    if (p->error() == QProcess::FailedToStart)
        return fail(qtTrId("archive-reason-nostart").arg(d->program));
    appendBounded(&d->extractErrors, p->readAllStandardError());
    if (d->cancelled)
        return fail(QString());
    if (mentionsPassword(d->extractErrors))
        return fail(faultText(ArchiveListing::Encrypted, QString()));
    if (p->exitStatus() != QProcess::NormalExit)
        return fail(qtTrId("archive-reason-crash"));
    if (p->exitCode() != 0)
        return fail(qtTrId("archive-reason-exitcode").arg(p->exitCode()));

    QString result;
    if (d->movedEntry.isEmpty()) {
        result = d->singleEntry.isEmpty() ? d->extractDir : d->destinationDir + QLatin1Char('/') + d->singleEntry;
    } else {
        const QString from = d->extractDir + QLatin1Char('/') + d->movedEntry;
        if (!taken(from))
            return fail(qtTrId("archive-reason-listing"));
        QString base;
        QString suffix;
        if (!QFileInfo(from).isDir())
            splitName(d->movedEntry, &base, &suffix);
        QString name = d->movedEntry;
        bool moved = false;
        for (int n = 1; n <= MaxFreeNameTries && !moved; ++n) {
            const QString to = d->destinationDir + QLatin1Char('/') + name;
            if (!taken(to)) {
                moved = d->move(from, to);
                // Something appeared under that name meanwhile: take the next.
                if (!moved && !taken(to))
                    break;
                if (moved)
                    break;
            }
            name = suffix.isEmpty() ? QStringLiteral("%1 (%2)").arg(d->movedEntry).arg(n)
                                    : QStringLiteral("%1 (%2).%3").arg(base).arg(n).arg(suffix);
        }
        if (!moved) {
            // The hidden folder keeps what was extracted; nothing is removed.
            //% "%1 could not be moved out of %2"
            return fail(qtTrId("archive-reason-move").arg(d->movedEntry, d->extractDir));
        }
        if (!QDir(d->extractDir).removeRecursively())
            Logger::log(Logger::DBG1, "failed to delete temp directory: %s", qUtf8Printable(d->extractDir));
        result = d->destinationDir + QLatin1Char('/') + name;
    }
    emit extracted(result);
    deleteLater();
}
