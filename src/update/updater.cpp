#include "update/updater.h"

#include "core/appsettings.h"
#include "core/logger.h"
#include "manager/proxy.h"
#include "update/appcast.h"
#include "update/changelogbrowser.h"
#include "update/updatesource.h"
#include "update/updater_p.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QSettings>
#include <QStackedWidget>
#include <QTimer>
#include <QUrlQuery>

namespace {
const char* const kLastQueryFormat = "yyyy-MM-ddTHH:mm:ss";
constexpr int kFixedWidth = 600;
constexpr int kFixedHeight = 200;
// The dialog grows with its label, within reason: a long version text or
// translation must not make it wider than a screen.
constexpr int kMinFitWidth = 420;
constexpr int kMaxFitWidth = 900;

QString errorQueryText()
{
    //% "Failed to query the update server. Please try again later."
    return qtTrId("upd-error-query");
}
} // namespace

const char* const Updater::CurrentVersion = "0.5.22";

Updater::Updater(QWidget* parent)
    : QDialog(parent, Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      d(new UpdaterPrivate)
{
    d->form.setupUi(this);
    //% "Software update"
    setWindowTitle(qtTrId("upd-window-title"));
    //% "Query update information..."
    d->form.queryUpdateStatus->setText(qtTrId("upd-msg-querystatus"));
    //% "After the update has finished velm will restart, this may take several seconds."
    d->form.restartInfoLabel->setText(qtTrId("upd-msg-inforestart"));
    //% "Downloading update..."
    d->form.downloadLabel->setText(qtTrId("upd-msg-downloading"));
    //% "Download finished, restarting application..."
    d->form.downloadFinishedLabel->setText(qtTrId("upd-msg-dlfinished"));
    //% "All up-to-date, velm is at the latest version %1."
    d->form.currentVersion->setText(qtTrId("upd-msg-noupdate").arg(QLatin1String(CurrentVersion)));
    //% "Close"
    d->form.closeButton->setText(qtTrId("btn-close"));
    //% "Skip this version"
    d->form.skipUpdateButton->setText(qtTrId("upd-btn-skip"));
    //% "Remind me later"
    d->form.remindMeLaterButton->setText(qtTrId("upd-btn-remind"));
    //% "Try again"
    d->form.tryAgainButton->setText(qtTrId("upd-btn-tryagain"));
    //% "Visit homepage"
    d->form.updateButton->setText(qtTrId("upd-btn-homepage"));
    d->form.errorLabel->clear();
    d->form.downloadProgress->clear();
    d->form.downloadTimeLeft->clear();

    connect(d->form.closeButton, &QPushButton::clicked, this, &QWidget::hide);
    connect(d->form.tryAgainButton, &QPushButton::clicked, this, &Updater::queryUpdate);
    connect(d->form.skipUpdateButton, &QPushButton::clicked, this, &Updater::skipVersion);
    connect(d->form.remindMeLaterButton, &QPushButton::clicked, this, &Updater::remindMeLater);
    connect(d->form.updateButton, &QPushButton::clicked, this, &Updater::visitHomepage);

    d->autoQueryTimer = new QTimer(this);
    d->autoQueryTimer->setObjectName(QStringLiteral("autoQueryTimer"));
    d->autoQueryTimer->setSingleShot(false);
    connect(d->autoQueryTimer, &QTimer::timeout, this, &Updater::autoQueryUpdate);
    d->autoQueryTimer->start(FirstTickMs);
}

Updater::~Updater()
{
    if (d->downloadReply) {
        disconnect(d->downloadReply, nullptr, this, nullptr);
        d->downloadReply->abort();
    }
    // An archive being written or not yet verified never stays behind
    // looking finished.
    if (d->archive.isOpen() || d->state == DownloadDone) {
        d->archive.close();
        d->archive.remove();
    }
}

int Updater::state() const { return d->state; }
QString Updater::version() const { return d->version; }
QString Updater::url() const { return d->url; }
QString Updater::sha256() const { return d->sha256; }
const UpdaterForm* Updater::form() const { return &d->form; }
int Updater::autoQueryInterval() const { return d->autoQueryTimer->interval(); }

void Updater::resetState()
{
    d->url.clear();
    d->version.clear();
    d->sha256.clear();
    d->state = Idle;
}

void Updater::autoQueryUpdate()
{
    if (d->state == Initial)
        resetState();
    AppSettings appSettings;
    QSettings* settings = appSettings.settings();
    const int interval = settings->value(QStringLiteral("update/checkinterval"), DefaultCheckIntervalSecs).toInt();
    if (interval > 0 && !UpdateSource::baseAddress().isEmpty()) {
        QDateTime last;
        if (settings->contains(QStringLiteral("update/lastquery")))
            last = QDateTime::fromString(settings->value(QStringLiteral("update/lastquery")).toString(),
                                         QLatin1String(kLastQueryFormat));
        const QDateTime now = QDateTime::currentDateTime();
        if (last.isValid() && last.addSecs(interval) >= now) {
            Logger::log(Logger::DBG1, "skip update query, next query in %d seconds",
                        int(interval - last.secsTo(now)));
        } else {
            queryUpdate();
        }
    }
    d->autoQueryTimer->setInterval(LaterTickMs);
}

bool Updater::ensureNetwork()
{
    if (d->network)
        return true;
    d->network = new QNetworkAccessManager(this);
    // Each redirect is looked at (get()): the target must be allowed and no
    // step may go from https to plain http.
    d->network->setRedirectPolicy(QNetworkRequest::UserVerifiedRedirectPolicy);
    Proxy proxy;
    const QNetworkProxy system = proxy.systemProxy();
    if (system.type() == QNetworkProxy::HttpProxy || system.type() == QNetworkProxy::Socks5Proxy)
        d->network->setProxy(system);
    return true;
}

QNetworkReply* Updater::get(const QUrl& url, qint64 limit)
{
    if (!UpdateSource::isAllowed(url)) {
        Logger::log(Logger::DBG1, "update: address refused: %s", qUtf8Printable(url.toString()));
        return nullptr;
    }
    ensureNetwork();
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    QNetworkReply* reply = d->network->get(request);
    reply->setProperty(UpdaterReply::Limit, limit);
    auto cut = [reply] {
        reply->setProperty(UpdaterReply::TooLong, true);
        reply->abort();
    };
    connect(reply, &QNetworkReply::redirected, reply, [reply](const QUrl& target) {
        if (UpdateSource::isAllowedRedirect(reply->url(), target)) {
            emit reply->redirectAllowed();
        } else {
            Logger::log(Logger::DBG1, "update: redirect refused: %s", qUtf8Printable(target.toString()));
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, limit, cut] {
        bool ok = false;
        const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&ok);
        if (ok && length > limit)
            cut();
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [limit, cut](qint64 received, qint64) {
        if (received > limit)
            cut();
    });
    return reply;
}

void Updater::queryUpdate()
{
    const QString base = UpdateSource::baseAddress();
    const QUrl feedUrl(base + QStringLiteral("/appcast_linux.xml"));
    if (base.isEmpty() || !UpdateSource::isAllowed(feedUrl)) {
        // Nothing is asked: no request, not even a name lookup.
        Logger::log(Logger::DBG1, "update: no usable update address: '%s'", qUtf8Printable(base));
        showQueryPage();
        if (base.isEmpty())
            //% "No update site is set."
            showErrorPage(qtTrId("upd-error-nosource"));
        else
            //% "The update site %1 is not used: its address must begin with https:// (plain http only to this machine)."
            showErrorPage(qtTrId("upd-error-address").arg(base));
        return;
    }
    QNetworkReply* feed = get(feedUrl, UpdateSource::ReplyLimit);
    connect(feed, &QNetworkReply::finished, this, &Updater::queryFinished);

    QString skip;
    {
        AppSettings appSettings;
        skip = appSettings.settings()->value(QStringLiteral("update/skip"), QStringLiteral("0")).toString();
    }
    QUrl changelogUrl(base + QStringLiteral("/changelog.html"));
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("v"), QLatin1String(CurrentVersion));
    query.addQueryItem(QStringLiteral("skip"), skip);
    changelogUrl.setQuery(query);
    if (QNetworkReply* changelog = get(changelogUrl, UpdateSource::ReplyLimit))
        connect(changelog, &QNetworkReply::finished, this, &Updater::queryChangelogFinished);

    showQueryPage();
}

namespace {
// The whole body of a finished reply, or nothing when it was cut off or
// brings more than its limit.
bool readBounded(QNetworkReply* reply, QByteArray* body)
{
    const qint64 limit = reply->property(UpdaterReply::Limit).toLongLong();
    if (reply->property(UpdaterReply::TooLong).toBool())
        return false;
    *body = reply->read(limit + 1);
    return body->size() <= limit;
}
} // namespace

void Updater::queryFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    if (d->state != Querying)
        return;
    if (reply->property(UpdaterReply::TooLong).toBool()) {
        Logger::log(Logger::DBG1, "update query error: the feed is longer than %lld bytes",
                    qlonglong(UpdateSource::ReplyLimit));
        showErrorPage(errorQueryText());
        return;
    }
    if (reply->error() != QNetworkReply::NoError) {
        Logger::log(Logger::DBG1, "update query error: %s", qUtf8Printable(reply->errorString()));
        showErrorPage(errorQueryText());
        return;
    }
    QByteArray body;
    const bool whole = readBounded(reply, &body);
    {
        AppSettings appSettings;
        appSettings.settings()->setValue(QStringLiteral("update/lastquery"),
                                         QDateTime::currentDateTime().toString(QLatin1String(kLastQueryFormat)));
    }
    const Appcast::Entry entry = whole ? Appcast::parse(body) : Appcast::Entry();
    if (!entry.ok) {
        Logger::log(Logger::DBG1, "update query error: no usable enclosure in the feed");
        showErrorPage(errorQueryText());
        return;
    }
    if (!Appcast::isNewer(entry.version, QLatin1String(CurrentVersion))) {
        showNoUpdatePage();
        return;
    }
    showUpdateAvailablePage(entry.version, entry.url, entry.sha256);
    QString skip;
    {
        AppSettings appSettings;
        if (appSettings.settings()->contains(QStringLiteral("update/skip")))
            skip = appSettings.settings()->value(QStringLiteral("update/skip")).toString();
    }
    if (skip != entry.version && !isVisible())
        emit updateAvailable(entry.version);
}

void Updater::queryChangelogFinished()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    QByteArray body;
    if (reply->error() != QNetworkReply::NoError || !readBounded(reply, &body))
        return;
    const int nul = body.indexOf('\0');
    if (nul >= 0)
        body.truncate(nul);
    const QString html = QString::fromUtf8(body);
    d->form.changelog->setHtml(html);
    d->form.changelog2->setHtml(html);
}

void Updater::fixSize(int width, int height)
{
    setMinimumSize(width, height);
    setMaximumSize(width, height);
}

void Updater::fitToLabel(const QString& text, double factor)
{
    const int advance = QFontMetrics(font()).horizontalAdvance(text);
    const int w = qBound(kMinFitWidth, int(advance * factor), kMaxFitWidth);
    const int h = (w / 4) * 2;
    setMinimumSize(w, h);
    setMaximumSize(w + 200, h + 300);
}

void Updater::showQueryPage()
{
    d->url.clear();
    d->form.stackedWidget->setCurrentWidget(d->form.pageQueryUpdate);
    fixSize(kFixedWidth, kFixedHeight);
    d->state = Querying;
}

void Updater::showUpdateAvailablePage(const QString& version, const QString& url, const QString& sha256)
{
    d->url = url;
    d->version = version;
    d->sha256 = sha256;
    //% "velm %1 is now available — you have %2. Would you like to install it now?"
    const QString text = qtTrId("upd-newavailable").arg(version, QLatin1String(CurrentVersion));
    d->form.updateVersionLabel->setText(text);
    d->form.updateButton->setEnabled(UpdateSource::isBrowserAddress(QUrl(UpdateSource::downloadPage())));
    d->form.stackedWidget->setCurrentWidget(d->form.pageUpdateAvailable);
    fitToLabel(text, 1.15);
    d->state = UpdateAvailable;
}

void Updater::showNoUpdatePage()
{
    d->form.stackedWidget->setCurrentWidget(d->form.pageNoUpdateAvailable);
    fitToLabel(d->form.currentVersion->text(), 1.57);
    d->state = NoUpdate;
}

void Updater::showErrorPage(const QString& text)
{
    d->form.errorLabel->setText(text);
    d->form.stackedWidget->setCurrentWidget(d->form.pageError);
    fixSize(kFixedWidth, kFixedHeight);
    d->state = Error;
}

void Updater::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (d->state == Initial)
        resetState();
    if (d->state == Idle || d->state == UpdateAvailable || d->state == NoUpdate)
        queryUpdate();
}

void Updater::skipVersion()
{
    if (!d->version.isEmpty()) {
        AppSettings appSettings;
        appSettings.settings()->setValue(QStringLiteral("update/skip"), d->version);
    }
    done(0);
}

void Updater::remindMeLater()
{
    done(1);
}

void Updater::visitHomepage()
{
    const QUrl page(UpdateSource::downloadPage());
    if (!UpdateSource::isBrowserAddress(page)) {
        Logger::log(Logger::DBG1, "update: no download page set");
        return;
    }
    QDesktopServices::openUrl(page);
}
