// The download of the offered archive and its SHA-256 check.
#include "core/logger.h"
#include "update/updatesource.h"
#include "update/updater_p.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QLabel>
#include <QLocale>
#include <QNetworkReply>
#include <QProgressBar>
#include <QStackedWidget>
#include <QtConcurrent>

namespace {
constexpr int kFixedWidth = 600;
constexpr int kFixedHeight = 200;

QString downloadFailedText()
{
    //% "Failed to download the update."
    return qtTrId("upd-dlfailed");
}

// The file's SHA-256 in lower-case hexadecimal; empty when it cannot be read.
QString sha256OfFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        return QString();
    return QString::fromLatin1(hash.result().toHex()).toLower();
}

} // namespace

QString Updater::timeLeftText(qint64 bytesReceived, qint64 bytesTotal, qint64 elapsedMs)
{
    // Too early or nothing known: no guess.
    if (bytesTotal <= 0 || bytesReceived <= 0 || bytesReceived > bytesTotal || elapsedMs < 1000)
        return QString();
    const qint64 ms = (bytesTotal - bytesReceived) * elapsedMs / bytesReceived;
    const qint64 secs = (ms + 999) / 1000;
    if (secs < 90)
        //% "About %1 s left"
        return qtTrId("upd-timeleft-secs").arg(secs);
    //% "About %1 min left"
    return qtTrId("upd-timeleft-mins").arg((secs + 59) / 60);
}

QString Updater::archivePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/update.zip");
}

void Updater::download()
{
    if (d->downloadReply) {
        disconnect(d->downloadReply, nullptr, this, nullptr);
        d->downloadReply->abort();
        d->downloadReply->deleteLater();
        d->downloadReply = nullptr;
    }
    ++d->downloadGeneration;
    if (d->archive.isOpen())
        d->archive.close();
    d->archive.setFileName(archivePath());
    if (d->archive.exists() && !d->archive.remove()) {
        //% "Failed to delete %1."
        showErrorPage(qtTrId("upd-error-rmarfail").arg(d->archive.fileName()));
        return;
    }
    const QUrl target(d->url);
    if (d->url.isEmpty() || !UpdateSource::isAllowed(target)) {
        Logger::log(Logger::DBG1, "update: download address refused: '%s'", qUtf8Printable(d->url));
        showErrorPage(downloadFailedText());
        return;
    }
    if (!d->archive.open(QIODevice::WriteOnly)) {
        //% "Failed to create %1."
        showErrorPage(qtTrId("upd-error-aropenfail").arg(d->archive.fileName()));
        return;
    }
    d->downloadWritten = 0;
    d->downloadWriteFailed = false;
    d->downloadReply = get(target, UpdateSource::downloadLimit());
    connect(d->downloadReply, &QNetworkReply::finished, this, &Updater::downloadFinished);
    connect(d->downloadReply, &QNetworkReply::downloadProgress, this, &Updater::downloadProgress);
    connect(d->downloadReply, &QNetworkReply::readyRead, this, &Updater::downloadReadyRead);
    d->downloadClock.start();
    showDownloadPage();
}

void Updater::downloadReadyRead()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply || reply != d->downloadReply || !d->archive.isOpen())
        return;
    const QByteArray data = reply->readAll();
    const qint64 limit = reply->property(UpdaterReply::Limit).toLongLong();
    if (d->downloadWritten + data.size() > limit) {
        reply->setProperty(UpdaterReply::TooLong, true);
        reply->abort();
        return;
    }
    if (d->archive.write(data) != data.size()) {
        Logger::log(Logger::DBG1, "update: cannot write %s: %s", qUtf8Printable(d->archive.fileName()),
                    qUtf8Printable(d->archive.errorString()));
        d->downloadWriteFailed = true;
        reply->abort();
        return;
    }
    d->downloadWritten += data.size();
}

void Updater::downloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (sender() && sender() != d->downloadReply)
        return;
    const QLocale locale = this->locale();
    const QString received = locale.formattedDataSize(bytesReceived, 0, QLocale::DataSizeSIFormat);
    if (bytesTotal >= 0) {
        //% "%1 of %2"
        d->form.downloadProgress->setText(
            qtTrId("upd-transferprogress")
                .arg(received, locale.formattedDataSize(bytesTotal, 0, QLocale::DataSizeSIFormat)));
    } else {
        //% "%1 received"
        d->form.downloadProgress->setText(qtTrId("upd-transferprogress-nototal").arg(received));
    }
    if (bytesTotal > 0) {
        const qint64 value = bytesReceived * 100 / bytesTotal;
        if (value >= d->form.progressBar->minimum() && value <= d->form.progressBar->maximum())
            d->form.progressBar->setValue(int(value));
    }
    const qint64 elapsed = d->downloadClock.isValid() ? d->downloadClock.elapsed() : 0;
    d->form.downloadTimeLeft->setText(timeLeftText(bytesReceived, bytesTotal, elapsed));
}

void Updater::downloadFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (reply != d->downloadReply)
        return;
    d->downloadReply = nullptr;
    d->archive.close();
    const QString path = d->archive.fileName();
    if (reply->error() != QNetworkReply::NoError || reply->property(UpdaterReply::TooLong).toBool()
        || d->downloadWriteFailed) {
        Logger::log(Logger::DBG1, "update: download failed: %s", qUtf8Printable(reply->errorString()));
        showErrorPage(downloadFailedText());
        QFile::remove(path);
        return;
    }
    checkDownload(reply);
    showDownloadDonePage();
    repaint();

    // The archive can be large: it is hashed off the main thread.
    const QString expected = d->sha256.toLower();
    auto* watcher = new QFutureWatcher<QString>(this);
    const int generation = d->downloadGeneration;
    connect(watcher, &QFutureWatcher<QString>::finished, this, [this, watcher, path, expected, generation] {
        watcher->deleteLater();
        if (generation != d->downloadGeneration)
            return;
        const QString computed = watcher->result();
        emit downloadChecked(!computed.isEmpty() && computed == expected);
        if (computed.isEmpty()) {
            Logger::log(Logger::DBG1, "failed to read %s for its sha256", qUtf8Printable(path));
        } else if (computed != expected) {
            Logger::log(Logger::DBG1, "failed to verify sha256: %s vs. %s", qUtf8Printable(computed),
                        qUtf8Printable(expected));
        } else {
            Logger::log(Logger::DBG1, "verified sha256: %s [OK]", qUtf8Printable(computed));
            extractUpdate();
        }
        // Nothing unpacks or installs an update: every way ends here.
        //% "Failed to extract the update."
        showErrorPage(qtTrId("upd-failextract2"));
        QFile::remove(path);
    });
    watcher->setFuture(QtConcurrent::run(sha256OfFile, path));
}

void Updater::checkDownload(QNetworkReply* reply)
{
    Logger::log(Logger::DBG1, "size: %d", int(reply->size()));
}

bool Updater::extractUpdate()
{
    const QFileInfo info(archivePath());
    if (!info.exists())
        //% "Update file %1 doesn't exist."
        showErrorPage(qtTrId("upd-error-dlnotexist.").arg(info.absoluteDir().absolutePath()));
    return false;
}

void Updater::delayedDownloadFinished()
{
    done(0);
}

void Updater::showDownloadPage()
{
    d->url.clear();
    d->form.progressBar->setValue(0);
    d->form.progressBar->show();
    d->form.downloadProgress->clear();
    d->form.downloadTimeLeft->clear();
    d->form.stackedWidget->setCurrentWidget(d->form.pageDownload);
    fixSize(kFixedWidth, kFixedHeight);
    d->state = Downloading;
}

void Updater::showDownloadDonePage()
{
    d->form.stackedWidget->setCurrentWidget(d->form.pageDownloadDone);
    d->state = DownloadDone;
}
