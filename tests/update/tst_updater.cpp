#include "core/appsettings.h"
#include "support/idtranslator.h"
#include "update/appcast.h"
#include "update/changelogbrowser.h"
#include "update/updater.h"
#include "update/updaterform.h"
#include "update/updatesource.h"

#include "loopbackhttpserver.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QNetworkReply>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTextDocument>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {
constexpr int kWaitMs = 60000;

QByteArray enclosure(const QString& url, const QString& version, const QString& sha256)
{
    QByteArray xml = "<enclosure";
    if (!url.isNull())
        xml += " url=\"" + url.toHtmlEscaped().toUtf8() + "\"";
    if (!version.isNull())
        xml += " sparkle:shortVersionString=\"" + version.toHtmlEscaped().toUtf8() + "\"";
    if (!sha256.isNull())
        xml += " sha256=\"" + sha256.toUtf8() + "\"";
    return xml + " length=\"4\" type=\"application/octet-stream\"/>";
}

QByteArray feedOf(const QList<QByteArray>& enclosures, const QByteArray& filler = QByteArray())
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                     "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">\n"
                     "<channel><title>velm</title>\n";
    xml += filler;
    for (const QByteArray& e : enclosures)
        xml += "<item><title>release</title>" + e + "</item>\n";
    return xml + "</channel></rss>\n";
}

const QString kSha = QStringLiteral("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");

QByteArray feedFor(const QString& version, const QString& url = QStringLiteral("https://127.0.0.1/v.zip"))
{
    return feedOf({enclosure(url, version, kSha)});
}

void setSetting(const QString& key, const QVariant& value)
{
    AppSettings appSettings;
    if (value.isValid())
        appSettings.settings()->setValue(key, value);
    else
        appSettings.settings()->remove(key);
    appSettings.settings()->sync();
}

QVariant setting(const QString& key)
{
    AppSettings appSettings;
    return appSettings.settings()->value(key);
}

std::unique_ptr<Updater> makeUpdater()
{
    auto updater = std::make_unique<Updater>();
    // The test drives every tick itself.
    updater->findChild<QTimer*>(QStringLiteral("autoQueryTimer"))->stop();
    updater->setLocale(QLocale(QLocale::English, QLocale::UnitedStates));
    return updater;
}

int replyCount(Updater* updater)
{
    return updater->findChildren<QNetworkReply*>().size();
}

QWidget* page(Updater* updater)
{
    return updater->form()->stackedWidget->currentWidget();
}
} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT
public slots:
    void openUrl(const QUrl& url) { m_opened.append(url); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void addressRules_data();
    void addressRules();
    void timerRules_data();
    void timerRules();
    void feed_data();
    void feed();
    void feedTextIsPlain();
    void longFeedWithoutLengthIsCut();
    void networkErrorAndTryAgain();
    void slowReplyBlocksNothingAndLateReplyIsDropped();
    void changelog();
    void changelogFollowsNoLink();
    void addresses_data();
    void addresses();
    void redirects();
    void userActions();
    void download_data();
    void download();
    void downloadRefusedAtOnce();
    void oldArchiveRemovedFirst();
    void progressLabel();
    void timeLeft_data();
    void timeLeft();
    void extractFindsNoArchive();

private:
    // Runs a query against the server and waits for its answer.
    bool answer(Updater* updater);

    IdTranslator m_english;
    QList<QUrl> m_opened;
    std::unique_ptr<LoopbackHttpServer> m_server;
    // Listens on every address of the machine: an address of "another host"
    // that the updater wrongly went to would end here, not outside.
    std::unique_ptr<LoopbackHttpServer> m_canary;
};

void TestUpdater::initTestCase()
{
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY"})
        qunsetenv(name);
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
    for (const char* scheme : {"http", "https", "file", "javascript", "ftp"})
        QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "openUrl");
    m_canary = std::make_unique<LoopbackHttpServer>(QHostAddress::AnyIPv4);
    QVERIFY(m_canary->isListening());
}

void TestUpdater::cleanupTestCase()
{
    for (const char* scheme : {"http", "https", "file", "javascript", "ftp"})
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
    QCOMPARE(m_canary->connections(), 0);
}

void TestUpdater::init()
{
    {
        AppSettings appSettings;
        appSettings.settings()->remove(QStringLiteral("update"));
        appSettings.settings()->remove(QStringLiteral("about"));
        appSettings.settings()->sync();
    }
    QFile::remove(Updater::archivePath());
    m_opened.clear();
    m_server = std::make_unique<LoopbackHttpServer>();
    QVERIFY(m_server->isListening());
    setSetting(QStringLiteral("update/baseurl"), m_server->base());
}

bool TestUpdater::answer(Updater* updater)
{
    updater->queryUpdate();
    if (updater->state() != Updater::Querying)
        return false;
    return QTest::qWaitFor([updater] { return updater->state() != Updater::Querying; }, kWaitMs);
}

void TestUpdater::addressRules_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<bool>("browser");
    QTest::newRow("https name") << "https://updates.example.org/velm" << true << true;
    QTest::newRow("https address") << "https://192.0.2.7:8443" << true << true;
    QTest::newRow("http loopback v4") << "http://127.0.0.1:8080" << true << true;
    QTest::newRow("http loopback v4 other") << "http://127.1.2.3" << true << true;
    QTest::newRow("http loopback v6") << "http://[::1]:8080" << true << true;
    QTest::newRow("http localhost") << "http://LOCALHOST:1" << true << true;
    QTest::newRow("http name") << "http://updates.example.org" << false << true;
    QTest::newRow("http name ending like loopback") << "http://127.0.0.1.example.org" << false << true;
    QTest::newRow("http lan") << "http://192.168.1.2" << false << true;
    QTest::newRow("http any") << "http://0.0.0.0" << false << true;
    QTest::newRow("user info") << "https://user:pw@example.org" << false << true;
    QTest::newRow("ftp") << "ftp://127.0.0.1/x" << false << false;
    QTest::newRow("file") << "file:///etc/passwd" << false << false;
    QTest::newRow("relative") << "/appcast_linux.xml" << false << false;
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("javascript") << "javascript:alert(1)" << false << false;
}

void TestUpdater::addressRules()
{
    QFETCH(QString, address);
    QFETCH(bool, allowed);
    QFETCH(bool, browser);
    QCOMPARE(UpdateSource::isAllowed(QUrl(address)), allowed);
    QCOMPARE(UpdateSource::isBrowserAddress(QUrl(address)), browser);

    // Redirects: the target's rule, and never from https down to http.
    const QUrl https(QStringLiteral("https://updates.example.org/a"));
    const QUrl http(QStringLiteral("http://127.0.0.1/a"));
    if (allowed) {
        QCOMPARE(UpdateSource::isAllowedRedirect(https, QUrl(address)),
                 QUrl(address).scheme().toLower() == QLatin1String("https"));
        QVERIFY(UpdateSource::isAllowedRedirect(http, QUrl(address)));
    } else {
        QVERIFY(!UpdateSource::isAllowedRedirect(http, QUrl(address)));
    }
}

void TestUpdater::timerRules_data()
{
    QTest::addColumn<QVariant>("interval");
    QTest::addColumn<QVariant>("lastQuery"); // seconds ago, or text as stored
    QTest::addColumn<bool>("queries");
    QTest::newRow("first tick, nothing stored") << QVariant() << QVariant() << true;
    QTest::newRow("recent last query skips") << QVariant() << QVariant(60) << false;
    QTest::newRow("last query a full interval ago") << QVariant() << QVariant(28800 + 60) << true;
    QTest::newRow("short interval passed") << QVariant(100) << QVariant(200) << true;
    QTest::newRow("short interval not passed") << QVariant(100) << QVariant(50) << false;
    QTest::newRow("interval 0 never queries") << QVariant(0) << QVariant() << false;
    QTest::newRow("negative interval never queries") << QVariant(-5) << QVariant() << false;
    QTest::newRow("unreadable last query") << QVariant() << QVariant(QStringLiteral("yesterday")) << true;
}

void TestUpdater::timerRules()
{
    QFETCH(QVariant, interval);
    QFETCH(QVariant, lastQuery);
    QFETCH(bool, queries);
    setSetting(QStringLiteral("update/checkinterval"), interval);
    if (lastQuery.type() == QVariant::Int)
        setSetting(QStringLiteral("update/lastquery"),
                   QDateTime::currentDateTime().addSecs(-lastQuery.toInt()).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")));
    else
        setSetting(QStringLiteral("update/lastquery"), lastQuery);
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedFor(QStringLiteral("0.5.22")));

    auto updater = makeUpdater();
    QCOMPARE(updater->state(), int(Updater::Initial));
    QCOMPARE(updater->autoQueryInterval(), 10000);
    updater->autoQueryUpdate();
    QCOMPARE(updater->autoQueryInterval(), 300000);
    if (queries) {
        QCOMPARE(updater->state(), int(Updater::Querying));
        QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::NoUpdate, kWaitMs);
        QVERIFY(m_server->requests().contains(QStringLiteral("/appcast_linux.xml")));
        // The answer is the new last query.
        const QDateTime stored = QDateTime::fromString(setting(QStringLiteral("update/lastquery")).toString(),
                                                       QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
        QVERIFY(stored.isValid());
        QVERIFY(qAbs(stored.secsTo(QDateTime::currentDateTime())) < 600);
    } else {
        QCOMPARE(updater->state(), int(Updater::Idle));
        QCOMPARE(replyCount(updater.get()), 0);
        // The menu entry shows the dialog, and showing it asks.
        updater->show();
        QCOMPARE(updater->state(), int(Updater::Querying));
        QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::NoUpdate, kWaitMs);
        QVERIFY(m_server->requests().contains(QStringLiteral("/appcast_linux.xml")));
    }
}

void TestUpdater::feed_data()
{
    QTest::addColumn<QByteArray>("feed");
    QTest::addColumn<QString>("skip"); // null: not set
    QTest::addColumn<bool>("visible");
    QTest::addColumn<int>("state");
    QTest::addColumn<int>("emitted");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("url");

    const QString url = QStringLiteral("https://127.0.0.1/v.zip");
    const int upd = Updater::UpdateAvailable;
    const int none = Updater::NoUpdate;
    const int err = Updater::Error;
    QTest::newRow("same version") << feedFor("0.5.22") << QString() << false << none << 0 << QString() << QString();
    QTest::newRow("0.5.9 is lower") << feedFor("0.5.9") << QString() << false << none << 0 << QString() << QString();
    QTest::newRow("lower major") << feedFor("0.4.99") << QString() << false << none << 0 << QString() << QString();
    QTest::newRow("higher") << feedFor("0.5.23") << QString() << false << upd << 1 << "0.5.23" << url;
    QTest::newRow("higher major") << feedFor("1.0") << QString() << false << upd << 1 << "1.0" << url;
    QTest::newRow("skipped version") << feedFor("0.5.23") << "0.5.23" << false << upd << 0 << "0.5.23" << url;
    QTest::newRow("other version skipped") << feedFor("0.5.24") << "0.5.23" << false << upd << 1 << "0.5.24" << url;
    QTest::newRow("visible dialog") << feedFor("0.5.23") << QString() << true << upd << 0 << "0.5.23" << url;
    QTest::newRow("first enclosure with an url")
        << feedOf({enclosure("", "0.9.0", kSha), enclosure(url, "0.6.0", kSha),
                   enclosure("https://127.0.0.1/w.zip", "0.7.0", kSha)})
        << QString() << false << upd << 1 << "0.6.0" << url;
    QTest::newRow("first of two") << feedOf({enclosure(url, "0.6.0", kSha), enclosure("https://127.0.0.1/w.zip", "0.7.0", kSha)})
                                  << QString() << false << upd << 1 << "0.6.0" << url;
    QTest::newRow("missing sha256") << feedOf({enclosure(url, "0.6.0", QString())}) << QString() << false << err << 0
                                    << QString() << QString();
    QTest::newRow("sha256 not hex") << feedOf({enclosure(url, "0.6.0", QString(64, QLatin1Char('z')))}) << QString()
                                    << false << err << 0 << QString() << QString();
    QTest::newRow("empty version") << feedOf({enclosure(url, "", kSha)}) << QString() << false << err << 0 << QString()
                                   << QString();
    QTest::newRow("no version") << feedOf({enclosure(url, QString(), kSha)}) << QString() << false << err << 0
                                << QString() << QString();
    QTest::newRow("long version") << feedFor(QStringLiteral("1.").repeated(40) + "1") << QString() << false << err << 0
                                  << QString() << QString();
    QTest::newRow("no enclosure") << feedOf({}) << QString() << false << err << 0 << QString() << QString();
    QTest::newRow("malformed xml") << QByteArray("<rss><channel><item><enclosure url=\"x") << QString() << false << err
                                   << 0 << QString() << QString();
    QTest::newRow("not xml") << QByteArray("\x00\xff\xfe garbage", 12) << QString() << false << err << 0 << QString()
                             << QString();
    QTest::newRow("5 MiB feed") << feedOf({enclosure(url, "0.6.0", kSha)},
                                          "<!-- " + QByteArray(5 * 1024 * 1024, 'x') + " -->")
                                << QString() << false << err << 0 << QString() << QString();
}

void TestUpdater::feed()
{
    QFETCH(QByteArray, feed);
    QFETCH(QString, skip);
    QFETCH(bool, visible);
    QFETCH(int, state);
    QFETCH(int, emitted);
    QFETCH(QString, version);
    QFETCH(QString, url);
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feed);
    if (!skip.isNull())
        setSetting(QStringLiteral("update/skip"), skip);

    auto updater = makeUpdater();
    QSignalSpy available(updater.get(), &Updater::updateAvailable);
    if (visible) {
        updater->show(); // asks as it shows
        QCOMPARE(updater->state(), int(Updater::Querying));
        QTRY_VERIFY_WITH_TIMEOUT(updater->state() != Updater::Querying, kWaitMs);
    } else {
        QVERIFY(answer(updater.get()));
    }
    QCOMPARE(updater->state(), state);
    QCOMPARE(available.count(), emitted);
    if (emitted)
        QCOMPARE(available.first().first().toString(), version);
    QCOMPARE(updater->version(), version);
    QCOMPARE(updater->url(), url);
    const UpdaterForm* form = updater->form();
    if (state == Updater::UpdateAvailable) {
        QCOMPARE(page(updater.get()), form->pageUpdateAvailable);
        QVERIFY(form->updateVersionLabel->text().contains(version));
        QVERIFY(form->updateVersionLabel->text().contains(QStringLiteral("0.5.22")));
        QCOMPARE(updater->sha256(), kSha);
    } else if (state == Updater::NoUpdate) {
        QCOMPARE(page(updater.get()), form->pageNoUpdateAvailable);
        QVERIFY(form->currentVersion->text().contains(QStringLiteral("0.5.22")));
    } else {
        QCOMPARE(page(updater.get()), form->pageError);
        QCOMPARE(form->errorLabel->text(), qtTrId("upd-error-query"));
        QCOMPARE(updater->minimumSize(), QSize(600, 200));
        QCOMPARE(updater->maximumSize(), QSize(600, 200));
    }
    // Whatever the feed said, it was asked for and its answer recorded.
    QVERIFY(setting(QStringLiteral("update/lastquery")).isValid() || feed.size() > UpdateSource::ReplyLimit);
}

// The version text of the feed is shown as it is, never as markup, in the
// dialog and in the banner's signal.
void TestUpdater::feedTextIsPlain()
{
    const QString version = QStringLiteral("0.6<b>bold</b><img src=\"http://127.0.0.1:1/x.png\">");
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedFor(version));
    auto updater = makeUpdater();
    QSignalSpy available(updater.get(), &Updater::updateAvailable);
    QVERIFY(answer(updater.get()));
    QCOMPARE(updater->state(), int(Updater::UpdateAvailable));
    QLabel* label = updater->form()->updateVersionLabel;
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QVERIFY(label->text().contains(version));
    QCOMPARE(available.count(), 1);
    QCOMPARE(available.first().first().toString(), version);
}

// A feed that does not say its length is cut off at the limit all the same.
void TestUpdater::longFeedWithoutLengthIsCut()
{
    const QByteArray feed = feedOf({enclosure(QStringLiteral("https://127.0.0.1/v.zip"), "0.6.0", kSha)},
                                   "<!-- " + QByteArray(3 * 1024 * 1024, 'x') + " -->");
    m_server->serve(QStringLiteral("/appcast_linux.xml"), LoopbackHttpServer::Route{"200 OK", feed, {}, false, true});
    auto updater = makeUpdater();
    QVERIFY(answer(updater.get()));
    QCOMPARE(updater->state(), int(Updater::Error));
    QCOMPARE(updater->form()->errorLabel->text(), qtTrId("upd-error-query"));

    // Just within the limit it is read.
    const QByteArray fits = feedOf({enclosure(QStringLiteral("https://127.0.0.1/v.zip"), "0.6.0", kSha)},
                                   "<!-- " + QByteArray(1000 * 1000, 'x') + " -->");
    QVERIFY(fits.size() <= UpdateSource::ReplyLimit);
    m_server->serve(QStringLiteral("/appcast_linux.xml"), LoopbackHttpServer::Route{"200 OK", fits, {}, false, true});
    QVERIFY(answer(updater.get()));
    QCOMPARE(updater->state(), int(Updater::UpdateAvailable));
}

void TestUpdater::networkErrorAndTryAgain()
{
    m_server->serve(QStringLiteral("/appcast_linux.xml"), LoopbackHttpServer::Route{"500 Internal Server Error", "no", {}, false, false});
    auto updater = makeUpdater();
    QVERIFY(answer(updater.get()));
    QCOMPARE(updater->state(), int(Updater::Error));
    QCOMPARE(page(updater.get()), updater->form()->pageError);
    QCOMPARE(updater->form()->errorLabel->text(), qtTrId("upd-error-query"));
    // No answer without an error: nothing recorded as asked.
    QVERIFY(!setting(QStringLiteral("update/lastquery")).isValid());

    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedFor(QStringLiteral("0.5.1")));
    const int asked = m_server->requests().count(QStringLiteral("/appcast_linux.xml"));
    updater->form()->tryAgainButton->click();
    QCOMPARE(updater->state(), int(Updater::Querying));
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::NoUpdate, kWaitMs);
    QCOMPARE(m_server->requests().count(QStringLiteral("/appcast_linux.xml")), asked + 1);
}

// A reply that takes its time holds up nothing: the slot returns at once,
// the dialog can be shown and hidden, and a feed that arrives after the
// dialog has left the query page is dropped.
void TestUpdater::slowReplyBlocksNothingAndLateReplyIsDropped()
{
    LoopbackHttpServer::Route held{"200 OK", feedFor(QStringLiteral("0.7.0")), {}, true, false};
    m_server->serve(QStringLiteral("/appcast_linux.xml"), held);
    m_server->serve(QStringLiteral("/changelog.html"), LoopbackHttpServer::Route{"200 OK", "<p>late</p>", {}, true, false});
    auto updater = makeUpdater();
    QSignalSpy available(updater.get(), &Updater::updateAvailable);
    updater->queryUpdate();
    QCOMPARE(updater->state(), int(Updater::Querying));
    QTRY_VERIFY_WITH_TIMEOUT(m_server->heldCount() == 2, kWaitMs);
    // The event loop runs on while the server holds its answers.
    bool ticked = false;
    QTimer::singleShot(0, [&ticked] { ticked = true; });
    QTRY_VERIFY_WITH_TIMEOUT(ticked, kWaitMs);
    QCOMPARE(updater->state(), int(Updater::Querying));

    // Leave the query page (a download with no address fails at once).
    updater->download();
    QCOMPARE(updater->state(), int(Updater::Error));
    QCOMPARE(updater->form()->errorLabel->text(), qtTrId("upd-dlfailed"));
    m_server->releaseHeld();
    QTRY_VERIFY_WITH_TIMEOUT(replyCount(updater.get()) == 0, kWaitMs);
    QCOMPARE(updater->state(), int(Updater::Error));
    QCOMPARE(available.count(), 0);
    QVERIFY(updater->version().isEmpty());
}

void TestUpdater::changelog()
{
    setSetting(QStringLiteral("update/skip"), QStringLiteral("0.5.30"));
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedFor(QStringLiteral("0.6.0")));
    m_server->serve(QStringLiteral("/changelog.html"),
                    QByteArray("<h1>Changes</h1><p>Gr\xc3\xbc\xc3\x9f""e</p>\0<p>after the nul</p>", 52));
    auto updater = makeUpdater();
    QVERIFY(answer(updater.get()));
    const UpdaterForm* form = updater->form();
    QTRY_VERIFY_WITH_TIMEOUT(form->changelog->toPlainText().contains(QStringLiteral("Changes")), kWaitMs);
    QVERIFY(form->changelog->toPlainText().contains(QString::fromUtf8("Grüße")));
    QVERIFY(!form->changelog->toPlainText().contains(QStringLiteral("after the nul")));
    QCOMPARE(form->changelog2->toPlainText(), form->changelog->toPlainText());
    QVERIFY(m_server->requests().contains(QStringLiteral("/changelog.html?v=0.5.22&skip=0.5.30")));

    // A failed changelog leaves both views as they were.
    m_server->serve(QStringLiteral("/changelog.html"), LoopbackHttpServer::Route{"404 Not Found", "<p>gone</p>", {}, false, false});
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedFor(QStringLiteral("0.5.0")));
    const int asked = m_server->requests().size();
    QVERIFY(answer(updater.get()));
    QCOMPARE(updater->state(), int(Updater::NoUpdate));
    QTRY_VERIFY_WITH_TIMEOUT(m_server->requests().size() == asked + 2 && replyCount(updater.get()) == 0, kWaitMs);
    QVERIFY(form->changelog->toPlainText().contains(QStringLiteral("Changes")));
    QVERIFY(form->changelog2->toPlainText().contains(QStringLiteral("Changes")));

    // Nor does one longer than the limit.
    m_server->serve(QStringLiteral("/changelog.html"), "<p>" + QByteArray(2 * 1024 * 1024, 'y') + "</p>");
    QVERIFY(answer(updater.get()));
    QTRY_VERIFY_WITH_TIMEOUT(replyCount(updater.get()) == 0, kWaitMs);
    QVERIFY(form->changelog->toPlainText().contains(QStringLiteral("Changes")));
}

// The changelog is shown, not followed: no image or file is loaded, an http
// or https link goes to the desktop's browser, anything else nowhere.
void TestUpdater::changelogFollowsNoLink()
{
    const QString image = m_server->base() + QStringLiteral("/img.png");
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedFor(QStringLiteral("0.6.0")));
    m_server->serve(QStringLiteral("/changelog.html"),
                    QStringLiteral("<p>notes <img src=\"%1\"><img src=\"file:///etc/hostname\">"
                                   "<link rel=\"stylesheet\" href=\"%1\"></p>")
                        .arg(image)
                        .toUtf8());
    auto updater = makeUpdater();
    updater->show();
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::UpdateAvailable, kWaitMs);
    ChangelogBrowser* view = updater->form()->changelog;
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().contains(QStringLiteral("notes")), kWaitMs);
    view->grab(); // lays out and paints, with every resource it asks for
    for (const QUrl& url : {QUrl(image), QUrl(QStringLiteral("file:///etc/hostname"))}) {
        const QImage blank = view->loadResource(QTextDocument::ImageResource, url).value<QImage>();
        QCOMPARE(blank.size(), QSize(1, 1));
        QCOMPARE(blank.pixelColor(0, 0).alpha(), 0);
    }
    QVERIFY(!view->loadResource(QTextDocument::StyleSheetResource, QUrl(image)).isValid());
    QVERIFY(!m_server->requests().contains(QStringLiteral("/img.png")));

    const QUrl before = view->source();
    for (const char* link : {"https://example.org/notes", "http://127.0.0.1:9/x", "file:///etc/passwd",
                             "javascript:alert(1)", "ftp://127.0.0.1/x", "relative.html", "#anchor"})
        emit view->anchorClicked(QUrl(QLatin1String(link)));
    QCOMPARE(m_opened, (QList<QUrl>{QUrl(QStringLiteral("https://example.org/notes")),
                                    QUrl(QStringLiteral("http://127.0.0.1:9/x"))}));
    QCOMPARE(view->source(), before);
    QVERIFY(view->toPlainText().contains(QStringLiteral("notes")));
}

void TestUpdater::addresses_data()
{
    QTest::addColumn<QString>("base"); // %1: the test server's port, %2: the canary's
    QTest::addColumn<QString>("outcome"); // "answer", "tls", "refused", "none"
    QTest::newRow("no base address") << "" << "none";
    QTest::newRow("blank base address") << "   " << "none";
    QTest::newRow("http to 127.0.0.1") << "http://127.0.0.1:%1" << "answer";
    QTest::newRow("http to 127.0.0.1, trailing slash") << "http://127.0.0.1:%1/" << "answer";
    QTest::newRow("https is used") << "https://127.0.0.1:%1" << "tls";
    QTest::newRow("http to another host") << "http://0.0.0.0:%2" << "refused";
    QTest::newRow("http to a name") << "http://update.invalid:%2" << "refused";
    QTest::newRow("other scheme") << "ftp://127.0.0.1:%2" << "refused";
}

void TestUpdater::addresses()
{
    QFETCH(QString, base);
    QFETCH(QString, outcome);
    base.replace(QStringLiteral("%1"), QString::number(m_server->port()));
    base.replace(QStringLiteral("%2"), QString::number(m_canary->port()));
    setSetting(QStringLiteral("update/baseurl"), base);
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedFor(QStringLiteral("0.5.0")));
    auto updater = makeUpdater();

    if (outcome == QLatin1String("none")) {
        // The timer asks nothing at all without a base address.
        updater->autoQueryUpdate();
        QCOMPARE(updater->state(), int(Updater::Idle));
        QCOMPARE(replyCount(updater.get()), 0);
    }
    updater->queryUpdate();
    if (outcome == QLatin1String("answer")) {
        QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::NoUpdate, kWaitMs);
        QCOMPARE(m_server->requests().value(0), QStringLiteral("/appcast_linux.xml"));
    } else if (outcome == QLatin1String("tls")) {
        QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::Error, kWaitMs);
        QVERIFY(m_server->connections() >= 1);
        QCOMPARE(m_server->firstBytes().value(0).left(1), QByteArray("\x16"));
        QVERIFY(m_server->requests().isEmpty());
    } else {
        // Refused before anything is asked.
        QCOMPARE(updater->state(), int(Updater::Error));
        QCOMPARE(replyCount(updater.get()), 0);
        QCOMPARE(updater->form()->errorLabel->text(), outcome == QLatin1String("none")
                                                          ? qtTrId("upd-error-nosource")
                                                          : qtTrId("upd-error-address").arg(base));
        QCOMPARE(m_server->connections(), 0);
    }
    QCOMPARE(m_canary->connections(), 0);
}

// A redirect is followed only to an allowed address.
void TestUpdater::redirects()
{
    const QByteArray away = QStringLiteral("Location: http://0.0.0.0:%1/appcast_linux.xml\r\n").arg(m_canary->port()).toLatin1();
    m_server->serve(QStringLiteral("/appcast_linux.xml"), LoopbackHttpServer::Route{"302 Found", "", away, false, false});
    auto updater = makeUpdater();
    QVERIFY(answer(updater.get()));
    QCOMPARE(updater->state(), int(Updater::Error));
    QCOMPARE(m_canary->connections(), 0);

    const QByteArray here = ("Location: " + m_server->base() + "/feed2.xml\r\n").toLatin1();
    m_server->serve(QStringLiteral("/appcast_linux.xml"), LoopbackHttpServer::Route{"302 Found", "", here, false, false});
    m_server->serve(QStringLiteral("/feed2.xml"), feedFor(QStringLiteral("0.6.1")));
    QVERIFY(answer(updater.get()));
    QCOMPARE(updater->state(), int(Updater::UpdateAvailable));
    QCOMPARE(updater->version(), QStringLiteral("0.6.1"));
}

void TestUpdater::userActions()
{
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedFor(QStringLiteral("0.6.0")));
    auto updater = makeUpdater();
    QSignalSpy finished(updater.get(), &QDialog::finished);

    // Without a download page the action button does nothing.
    QVERIFY(answer(updater.get()));
    QVERIFY(!updater->form()->updateButton->isEnabled());
    updater->visitHomepage();
    QVERIFY(m_opened.isEmpty());

    setSetting(QStringLiteral("update/downloadpage"), QStringLiteral("https://example.org/download"));
    updater->show();
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::UpdateAvailable, kWaitMs);
    QVERIFY(updater->form()->updateButton->isEnabled());
    updater->form()->updateButton->click();
    QCOMPARE(m_opened, QList<QUrl>{QUrl(QStringLiteral("https://example.org/download"))});
    QCOMPARE(page(updater.get()), updater->form()->pageUpdateAvailable);

    updater->form()->remindMeLaterButton->click();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.last().first().toInt(), 1);
    QVERIFY(!updater->isVisible());
    QCOMPARE(updater->state(), int(Updater::UpdateAvailable));

    updater->show(); // asks again from the update page
    QCOMPARE(updater->state(), int(Updater::Querying));
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::UpdateAvailable, kWaitMs);
    updater->form()->skipUpdateButton->click();
    QCOMPARE(finished.count(), 2);
    QCOMPARE(finished.last().first().toInt(), 0);
    QCOMPARE(setting(QStringLiteral("update/skip")).toString(), QStringLiteral("0.6.0"));

    // Close on the up-to-date page only hides.
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedFor(QStringLiteral("0.5.0")));
    updater->show();
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::NoUpdate, kWaitMs);
    QCOMPARE(page(updater.get()), updater->form()->pageNoUpdateAvailable);
    updater->form()->closeButton->click();
    QVERIFY(!updater->isVisible());
    QCOMPARE(finished.count(), 2);
}

void TestUpdater::download_data()
{
    QTest::addColumn<QString>("route"); // "ok", "404", "nolength"
    QTest::addColumn<QString>("feedSha"); // "upper", "lower", "other"
    QTest::addColumn<QVariant>("limit");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("checked"); // -1 not hashed, 0 mismatch, 1 match

    QTest::newRow("checksum in upper case verifies") << "ok" << "upper" << QVariant() << "upd-failextract2" << 1;
    QTest::newRow("checksum in lower case verifies") << "ok" << "lower" << QVariant() << "upd-failextract2" << 1;
    QTest::newRow("mismatch") << "ok" << "other" << QVariant() << "upd-failextract2" << 0;
    QTest::newRow("network error") << "404" << "lower" << QVariant() << "upd-dlfailed" << -1;
    QTest::newRow("longer than the limit") << "ok" << "lower" << QVariant(1000) << "upd-dlfailed" << -1;
    QTest::newRow("longer than the limit, no length") << "nolength" << "lower" << QVariant(1000) << "upd-dlfailed" << -1;
    QTest::newRow("within the limit, no length") << "nolength" << "lower" << QVariant(100000) << "upd-failextract2" << 1;
}

void TestUpdater::download()
{
    QFETCH(QString, route);
    QFETCH(QString, feedSha);
    QFETCH(QVariant, limit);
    QFETCH(QString, text);
    QFETCH(int, checked);
    setSetting(QStringLiteral("update/downloadlimit"), limit);

    QByteArray archive;
    for (int i = 0; i < 5000; ++i)
        archive += char('A' + i % 26);
    QString sha = QString::fromLatin1(QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex());
    if (feedSha == QLatin1String("upper"))
        sha = sha.toUpper();
    else if (feedSha == QLatin1String("other"))
        sha = QString::fromLatin1(QCryptographicHash::hash("other", QCryptographicHash::Sha256).toHex());
    const QString url = m_server->base() + QStringLiteral("/velm-0.6.0.zip");
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedOf({enclosure(url, "0.6.0", sha)}));
    if (route == QLatin1String("ok"))
        m_server->serve(QStringLiteral("/velm-0.6.0.zip"), archive);
    else if (route == QLatin1String("nolength"))
        m_server->serve(QStringLiteral("/velm-0.6.0.zip"), LoopbackHttpServer::Route{"200 OK", archive, {}, false, true});

    auto updater = makeUpdater();
    QVERIFY(answer(updater.get()));
    QCOMPARE(updater->state(), int(Updater::UpdateAvailable));
    QSignalSpy verified(updater.get(), &Updater::downloadChecked);
    updater->download();
    QCOMPARE(updater->state(), int(Updater::Downloading));
    QCOMPARE(page(updater.get()), updater->form()->pageDownload);
    QVERIFY(updater->url().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::Error, kWaitMs);
    QCOMPARE(updater->form()->errorLabel->text(), qtTrId(qPrintable(text)));
    QVERIFY(!QFile::exists(Updater::archivePath()));
    if (checked < 0) {
        QCOMPARE(verified.count(), 0);
    } else {
        QCOMPARE(verified.count(), 1);
        QCOMPARE(verified.first().first().toBool(), checked == 1);
    }
}

void TestUpdater::downloadRefusedAtOnce()
{
    // No address at all.
    auto updater = makeUpdater();
    updater->download();
    QCOMPARE(updater->state(), int(Updater::Error));
    QCOMPARE(updater->form()->errorLabel->text(), qtTrId("upd-dlfailed"));
    QVERIFY(!QFile::exists(Updater::archivePath()));

    // An archive address the rules refuse.
    const QString away = QStringLiteral("http://0.0.0.0:%1/velm.zip").arg(m_canary->port());
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedOf({enclosure(away, "0.6.0", kSha)}));
    QVERIFY(answer(updater.get()));
    QCOMPARE(updater->url(), away);
    QTRY_VERIFY_WITH_TIMEOUT(replyCount(updater.get()) == 0, kWaitMs); // the changelog
    updater->download();
    QCOMPARE(updater->state(), int(Updater::Error));
    QCOMPARE(updater->form()->errorLabel->text(), qtTrId("upd-dlfailed"));
    QCOMPARE(replyCount(updater.get()), 0);
    QVERIFY(!QFile::exists(Updater::archivePath()));
    QCOMPARE(m_canary->connections(), 0);
}

void TestUpdater::oldArchiveRemovedFirst()
{
    {
        QFile old(Updater::archivePath());
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("an archive of an earlier try");
    }
    const QString url = m_server->base() + QStringLiteral("/velm.zip");
    m_server->serve(QStringLiteral("/appcast_linux.xml"), feedOf({enclosure(url, "0.6.0", kSha)}));
    m_server->serve(QStringLiteral("/velm.zip"), LoopbackHttpServer::Route{"200 OK", "new", {}, true, false});
    auto updater = makeUpdater();
    QVERIFY(answer(updater.get()));
    updater->download();
    QCOMPARE(updater->state(), int(Updater::Downloading));
    QCOMPARE(QFileInfo(Updater::archivePath()).size(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_server->heldCount() == 1, kWaitMs);
    m_server->releaseHeld();
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::Error, kWaitMs);
    QVERIFY(!QFile::exists(Updater::archivePath()));
}

void TestUpdater::progressLabel()
{
    auto updater = makeUpdater();
    const UpdaterForm* form = updater->form();
    updater->downloadProgress(2000000, 5000000);
    QCOMPARE(form->downloadProgress->text(), QStringLiteral("2 MB of 5 MB"));
    QCOMPARE(form->progressBar->value(), 40);
    updater->downloadProgress(3000000, -1);
    QCOMPARE(form->progressBar->value(), 40);
    QCOMPARE(form->downloadProgress->text(), QStringLiteral("3 MB received"));
    updater->downloadProgress(1, 0);
    QCOMPARE(form->progressBar->value(), 40);
    updater->downloadProgress(9000, 3000); // more than announced
    QCOMPARE(form->progressBar->value(), 40);
    updater->downloadProgress(999, 1000);
    QCOMPARE(form->progressBar->value(), 99);
    QCOMPARE(form->downloadProgress->text(), QStringLiteral("999 bytes of 1 kB"));
}

void TestUpdater::timeLeft_data()
{
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<QString>("text");
    QTest::newRow("half in 10 s") << qint64(50) << qint64(100) << qint64(10000) << "About 10 s left";
    QTest::newRow("a tenth in 30 s") << qint64(10) << qint64(100) << qint64(30000) << "About 5 min left";
    QTest::newRow("done") << qint64(100) << qint64(100) << qint64(5000) << "About 0 s left";
    QTest::newRow("under a second") << qint64(50) << qint64(100) << qint64(999) << "";
    QTest::newRow("no total") << qint64(50) << qint64(-1) << qint64(5000) << "";
    QTest::newRow("zero total") << qint64(0) << qint64(0) << qint64(5000) << "";
    QTest::newRow("nothing yet") << qint64(0) << qint64(100) << qint64(5000) << "";
    QTest::newRow("more than announced") << qint64(200) << qint64(100) << qint64(5000) << "";
    QTest::newRow("a tenth of 10 MiB in a minute") << qint64(1 << 20) << qint64(10 << 20) << qint64(60000)
                                                   << "About 9 min left";
    // Large sizes and long times do not overflow.
    QTest::newRow("a byte of 512 MiB in a minute") << qint64(1) << qint64(512) * 1024 * 1024 << qint64(60000)
                                                   << QStringLiteral("About %1 min left").arg(qint64(512) * 1024 * 1024 - 1);
}

void TestUpdater::timeLeft()
{
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(qint64, elapsed);
    QFETCH(QString, text);
    QCOMPARE(Updater::timeLeftText(received, total, elapsed), text);
}

void TestUpdater::extractFindsNoArchive()
{
    auto updater = makeUpdater();
    QVERIFY(!updater->extractUpdate());
    QCOMPARE(updater->state(), int(Updater::Error));
    QCOMPARE(updater->form()->errorLabel->text(),
             qtTrId("upd-error-dlnotexist.").arg(QFileInfo(Updater::archivePath()).absoluteDir().absolutePath()));
}

QTEST_MAIN(TestUpdater)
#include "tst_updater.moc"
