// The Help menu's entries of the main window: the about box and the update
// check, with the banner above the node view.
#include "core/appsettings.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "quick/themeloader.h"
#include "support/gui/guitestrig.h"
#include "update/aboutdialog.h"
#include "update/loopbackhttpserver.h"
#include "update/updatenotification.h"
#include "update/updater.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>
#include <QtTest>

namespace {
QByteArray feed(const QString& version)
{
    return "<rss xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel><item>"
           "<enclosure url=\"https://127.0.0.1/v.zip\" sparkle:shortVersionString=\""
           + version.toUtf8()
           + "\" sha256=\"9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08\"/>"
             "</item></channel></rss>";
}
} // namespace

class TestMainWindowHelp : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void noUpdateSiteNoEntry();
    void checkForUpdatesAndBanner();
    void aboutBox();

private:
    std::unique_ptr<GuiTestRig> m_rig;
    QTemporaryDir m_themes;
};

void TestMainWindowHelp::initTestCase()
{
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        qunsetenv(name);
}

void TestMainWindowHelp::init()
{
    ThemeLoader::setThemeDirectory(m_themes.filePath(QStringLiteral("none")));
    m_rig.reset(new GuiTestRig);
}

void TestMainWindowHelp::cleanup()
{
    m_rig.reset();
}

void TestMainWindowHelp::noUpdateSiteNoEntry()
{
    auto window = m_rig->createWindow();
    QVERIFY(window->findChild<QAction*>(QStringLiteral("action-about-velm")));
    QVERIFY(!window->findChild<QAction*>(QStringLiteral("action-check-updates")));
    QVERIFY(!window->updater());
}

void TestMainWindowHelp::checkForUpdatesAndBanner()
{
    LoopbackHttpServer server;
    QVERIFY(server.isListening());
    server.serve(QStringLiteral("/appcast_linux.xml"), feed(QStringLiteral("0.6.0")));
    {
        AppSettings appSettings;
        appSettings.settings()->setValue(QStringLiteral("update/baseurl"), server.base());
        appSettings.settings()->sync();
    }
    auto window = m_rig->createWindow();
    window->show();
    auto* check = window->findChild<QAction*>(QStringLiteral("action-check-updates"));
    QVERIFY(check);
    QVERIFY(check->text().endsWith(QStringLiteral("...")));
    UpdateNotification* banner = window->updateNotification();
    QVERIFY(banner);
    // Above the node view, on its page.
    auto* layout = qobject_cast<QVBoxLayout*>(banner->parentWidget()->layout());
    QVERIFY(layout);
    QCOMPARE(layout->indexOf(banner), 0);

    check->trigger();
    Updater* updater = window->updater();
    QVERIFY(updater);
    updater->findChild<QTimer*>(QStringLiteral("autoQueryTimer"))->stop();
    QVERIFY(updater->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::UpdateAvailable, 60000);
    QVERIFY(!banner->isVisible()); // the dialog shows it already

    // A check while the dialog is hidden brings up the banner; Show opens
    // the dialog; reminding later closes it.
    updater->hide();
    updater->queryUpdate();
    QTRY_VERIFY_WITH_TIMEOUT(banner->isVisible(), 60000);
    banner->findChild<QPushButton*>(QStringLiteral("updateShow"))->click();
    QVERIFY(!banner->isVisible());
    QVERIFY(updater->isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::UpdateAvailable, 60000);
    updater->remindMeLater();
    QVERIFY(!updater->isVisible());

    // The menu entry keeps the one dialog.
    check->trigger();
    QCOMPARE(window->updater(), updater);
    QTRY_VERIFY_WITH_TIMEOUT(updater->state() == Updater::UpdateAvailable, 60000);
}

void TestMainWindowHelp::aboutBox()
{
    // The licences lie beside the program, outside the rig's served tree.
    m_rig->setDrivesAtSlash(true);
    auto window = m_rig->createWindow();
    window->show();
    m_rig->manager()->announceStarted();
    QTRY_VERIFY(window->filerHub()->activeFiler() && window->filerHub()->activeFiler()->peer());
    window->findChild<QAction*>(QStringLiteral("action-about-velm"))->trigger();
    QPointer<AboutDialog> dialog = window->findChild<AboutDialog*>();
    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->graphicsApiLabel()->text().isEmpty());
    // The folder ships beside the program; the Filer lists it once it has
    // been read, which takes its own time.
    const QString licenses = QCoreApplication::applicationDirPath() + QStringLiteral("/licenses");
    const bool made = !QFileInfo::exists(licenses);
    QVERIFY(QDir().mkpath(licenses));
    dialog->licensesButton()->click();
    QTRY_COMPARE_WITH_TIMEOUT(window->filerHub()->activeFiler()->path(), licenses, 30000);
    if (made)
        QDir(licenses).removeRecursively();

    // Each use makes a new box.
    window->showAboutDialog();
    QCOMPARE(window->findChildren<AboutDialog*>().size(), 2);
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
    QCOMPARE(window->findChildren<AboutDialog*>().size(), 1);
}

QTEST_MAIN(TestMainWindowHelp)
#include "tst_mainwindowhelp.moc"
