#include "core/rendererapinames.h"
#include "manager/connectionmanager.h"
#include "support/idtranslator.h"
#include "core/appsettings.h"
#include "update/aboutdialog.h"

#include <QDesktopServices>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <atomic>

namespace {
const QString kOnion = QStringLiteral("vww6ybal4bd7szmgncyruucpgfkqahzddi37ktceo3ah7ngmcopnpyyd.onion");

// The network side as far as the about box sees it: a manager on an io
// thread of its own whose hidden service reports an address there.
class OnionManager : public ConnectionManager
{
public:
    OnionManager() : ConnectionManager(nullptr) {}
    void publish(const QString& address) { publishOnionAddress(address); }
};

void setSetting(const QString& key, const QVariant& value)
{
    AppSettings appSettings;
    if (value.isValid())
        appSettings.settings()->setValue(key, value);
    else
        appSettings.settings()->remove(key);
}
} // namespace

class TestAboutDialog : public QObject
{
    Q_OBJECT
public slots:
    void openUrl(const QUrl& url) { m_opened.append(url); }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void renderer_data();
    void renderer();
    void versionsAndSelectableTexts();
    void onionAddress();
    void webSite_data();
    void webSite();
    void licensesAndClose();

private:
    IdTranslator m_english;
    QList<QUrl> m_opened;
};

void TestAboutDialog::initTestCase()
{
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
    for (const char* scheme : {"http", "https", "javascript", "file"})
        QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "openUrl");
}

void TestAboutDialog::cleanupTestCase()
{
    for (const char* scheme : {"http", "https", "javascript", "file"})
        QDesktopServices::unsetUrlHandler(QLatin1String(scheme));
}

void TestAboutDialog::renderer_data()
{
    QTest::addColumn<int>("api");
    QTest::addColumn<QString>("text");
    QTest::newRow("-1") << -1 << "unknown";
    QTest::newRow("min int") << std::numeric_limits<int>::min() << "unknown";
    QTest::newRow("0") << 0 << "Unknown (0)";
    QTest::newRow("1") << 1 << "Software (1)";
    QTest::newRow("9") << 9 << "NullRhi (9)";
    QTest::newRow("10") << 10 << "unknown";
    QTest::newRow("1000") << 1000 << "unknown";
}

void TestAboutDialog::renderer()
{
    QFETCH(int, api);
    QFETCH(QString, text);
    AboutDialog dialog(api);
    QCOMPARE(dialog.graphicsApiLabel()->text(), text);
}

void TestAboutDialog::versionsAndSelectableTexts()
{
    AboutDialog dialog(1);
    QCOMPARE(dialog.appVersionLabel()->text(), QStringLiteral("0.5.22"));
    QCOMPARE(dialog.qtVersionLabel()->text(), QString::fromLatin1(qVersion()));
    QCOMPARE(dialog.windowTitle(), QStringLiteral("About velm"));
    QVERIFY(!dialog.isModal());
    for (QLabel* label : {dialog.appVersionLabel(), dialog.onionAddressLabel(), dialog.qtVersionLabel(),
                          dialog.graphicsApiLabel()}) {
        QVERIFY(label->textInteractionFlags() & Qt::TextSelectableByMouse);
        QCOMPARE(label->textFormat(), Qt::PlainText);
    }
}

// The address lives on the io thread and changes there; the dialog on the
// main thread reads a copy the manager hands out under its lock.
void TestAboutDialog::onionAddress()
{
    {
        AboutDialog none(0); // no manager at all
        QCOMPARE(none.onionAddressLabel()->text(), QStringLiteral("0.0.0"));
    }
    QThread io;
    auto* manager = new OnionManager;
    manager->moveToThread(&io);
    io.start();
    QCOMPARE(ConnectionManager::instance(), manager);
    {
        AboutDialog dialog(0);
        QCOMPARE(dialog.onionAddressLabel()->text(), QStringLiteral("0.0.0"));
    }
    QMetaObject::invokeMethod(manager, [manager] { manager->publish(kOnion); }, Qt::BlockingQueuedConnection);
    {
        AboutDialog dialog(0);
        QCOMPARE(dialog.onionAddressLabel()->text(), kOnion);
    }

    // The io thread switches the address on and off while dialogs are made:
    // each one shows either a whole address or none.
    std::atomic<bool> stop{false};
    QMetaObject::invokeMethod(manager, [manager, &stop] {
        for (int i = 0; !stop; ++i)
            manager->publish(i % 2 ? kOnion : QString());
    });
    for (int i = 0; i < 200; ++i) {
        AboutDialog dialog(0);
        const QString shown = dialog.onionAddressLabel()->text();
        QVERIFY2(shown == kOnion || shown == QLatin1String("0.0.0"), qPrintable(shown));
    }
    stop = true;
    QMetaObject::invokeMethod(manager, [manager] { delete manager; }, Qt::BlockingQueuedConnection);
    io.quit();
    QVERIFY(io.wait(60000));
    QVERIFY(!ConnectionManager::instance());
}

void TestAboutDialog::webSite_data()
{
    QTest::addColumn<QString>("site");
    QTest::addColumn<bool>("shown");
    QTest::newRow("unset") << QString() << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("https") << "https://example.org/velm" << true;
    QTest::newRow("markup in the address") << "https://example.org/\"><b>x</b>" << true;
    QTest::newRow("javascript") << "javascript:alert(1)" << false;
    QTest::newRow("file") << "file:///etc/passwd" << false;
}

void TestAboutDialog::webSite()
{
    QFETCH(QString, site);
    QFETCH(bool, shown);
    setSetting(QStringLiteral("about/website"), site.isNull() ? QVariant() : QVariant(site));
    m_opened.clear();
    AboutDialog dialog(0);
    dialog.show();
    QCOMPARE(dialog.webSiteLabel()->isVisible(), shown);
    if (shown) {
        const QString text = dialog.webSiteLabel()->text();
        QVERIFY(!text.contains(QStringLiteral("<b>")));
        emit dialog.webSiteLabel()->linkActivated(QUrl(site).toString(QUrl::FullyEncoded));
        QCOMPARE(m_opened.size(), 1);
        QCOMPARE(m_opened.first(), QUrl(site));
        emit dialog.webSiteLabel()->linkActivated(QStringLiteral("file:///etc/passwd"));
        QCOMPARE(m_opened.size(), 1);
    }
    setSetting(QStringLiteral("about/website"), QVariant());
}

void TestAboutDialog::licensesAndClose()
{
    QWidget window;
    QPointer<AboutDialog> dialog = new AboutDialog(1, &window);
    QSignalSpy licenses(dialog.data(), &AboutDialog::openLicensesFolder);
    dialog->show();
    dialog->licensesButton()->click();
    QCOMPARE(licenses.count(), 1);
    QVERIFY(!dialog->licensesButton()->icon().isNull());
    dialog->closeButton()->click();
    QTRY_VERIFY(dialog.isNull());

    // The window's close button deletes it too.
    dialog = new AboutDialog(1, &window);
    dialog->show();
    QVERIFY(dialog->close());
    QTRY_VERIFY(dialog.isNull());
}

QTEST_MAIN(TestAboutDialog)
#include "tst_aboutdialog.moc"
