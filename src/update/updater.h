#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class QNetworkReply;
class UpdaterForm;
class UpdaterPrivate;

// The "Software update" dialog. It asks the update site (UpdateSource) for
// its feed and changelog, shows the answer on one of its pages and lets the
// user skip the offered version, be reminded later or open the download
// page in the browser. While hidden it asks on its own on a timer and emits
// updateAvailable() when it finds a version the user has not skipped.
//
// It carries a download of the offered archive with a SHA-256 check, which
// no control starts; a verified archive is not unpacked (extractUpdate) and
// the download ends on the error page with the archive removed.
//
// Nothing here waits on the network: every reply arrives by signal.
class Updater : public QDialog
{
    Q_OBJECT
public:
    enum UpdaterState {
        Initial = 0,
        Idle = 1,
        Querying = 2,
        UpdateAvailable = 3,
        NoUpdate = 4,
        Error = 5,
        Downloading = 6,
        DownloadDone = 7,
    };
    Q_ENUM(UpdaterState)

    // The built-in version every answer is compared with.
    static const char* const CurrentVersion;
    static constexpr int FirstTickMs = 10000;
    static constexpr int LaterTickMs = 300000;
    static constexpr int DefaultCheckIntervalSecs = 28800;

    explicit Updater(QWidget* parent = nullptr);
    ~Updater() override;

    int state() const;
    // The offered version, its archive address and checksum (empty but on
    // the update page).
    QString version() const;
    QString url() const;
    QString sha256() const;
    // The path of the download target, beside the program.
    static QString archivePath();
    // The download page's guess of the time left, from the rate so far;
    // empty while there is no total or less than a second has passed.
    static QString timeLeftText(qint64 bytesReceived, qint64 bytesTotal, qint64 elapsedMs);
    const UpdaterForm* form() const;
    int autoQueryInterval() const;

signals:
    void updateAvailable(const QString& version);
    // A downloaded archive was hashed: whether it matched the feed's
    // checksum. Either way the archive is removed and the error page shown.
    void downloadChecked(bool checksumMatches);

public slots:
    void queryUpdate();
    void queryFinished();
    void queryChangelogFinished();
    void downloadFinished();
    void download();
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void downloadReadyRead();
    bool extractUpdate();
    void visitHomepage();
    void skipVersion();
    void remindMeLater();
    void autoQueryUpdate();
    void delayedDownloadFinished();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void resetState();
    void showQueryPage();
    void showUpdateAvailablePage(const QString& version, const QString& url, const QString& sha256);
    void showNoUpdatePage();
    void showErrorPage(const QString& text);
    void showDownloadPage();
    void showDownloadDonePage();
    void checkDownload(QNetworkReply* reply);
    void fixSize(int width, int height);
    void fitToLabel(const QString& text, double factor);
    bool ensureNetwork();
    QNetworkReply* get(const QUrl& url, qint64 limit);

    std::unique_ptr<UpdaterPrivate> d;
};
