#include "support/idtranslator.h"
#include "update/updatenotification.h"
#include "update/updater.h"

#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

class TestUpdateNotification : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void showsPlainVersion();
    void showHidesBeforeTheDialogOpens();
    void dialogDoneHides();
    void gradient();

private:
    IdTranslator m_english;
};

void TestUpdateNotification::initTestCase()
{
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
}

void TestUpdateNotification::showsPlainVersion()
{
    QWidget page;
    auto* banner = new UpdateNotification(&page);
    page.show();
    QVERIFY(!banner->isVisible());
    const QString version = QStringLiteral("0.6 <b>bold</b>");
    banner->updateAvailable(version);
    QVERIFY(banner->isVisible());
    auto* label = banner->findChild<QLabel*>(QStringLiteral("updateMessage"));
    QVERIFY(label);
    QCOMPARE(label->textFormat(), Qt::PlainText);
    QCOMPARE(label->text(), QStringLiteral("velm 0.6 <b>bold</b> is available."));
    QCOMPARE(banner->maximumHeight(), banner->sizeHint().height());
}

// The banner is gone by the time the dialog it asks for shows.
void TestUpdateNotification::showHidesBeforeTheDialogOpens()
{
    QWidget page;
    auto* banner = new UpdateNotification(&page);
    page.show();
    banner->updateAvailable(QStringLiteral("0.6.0"));
    QList<bool> bannerVisibleWhenAsked;
    connect(banner, &UpdateNotification::showUpdate, [&] { bannerVisibleWhenAsked << banner->isVisible(); });
    banner->findChild<QPushButton*>(QStringLiteral("updateShow"))->click();
    QCOMPARE(bannerVisibleWhenAsked, QList<bool>{false});
    QVERIFY(!banner->isVisible());
}

void TestUpdateNotification::dialogDoneHides()
{
    QWidget page;
    auto* banner = new UpdateNotification(&page);
    page.show();
    Updater updater;
    updater.findChild<QTimer*>(QStringLiteral("autoQueryTimer"))->stop();
    connect(&updater, &Updater::updateAvailable, banner, &UpdateNotification::updateAvailable);
    connect(&updater, &QDialog::finished, banner, &UpdateNotification::updateDialogDone);

    for (int result : {0, 1, 7}) {
        emit updater.updateAvailable(QStringLiteral("0.6.0"));
        QVERIFY(banner->isVisible());
        updater.done(result);
        QVERIFY2(!banner->isVisible(), qPrintable(QString::number(result)));
    }
    // Hiding the dialog by its close button says nothing: the banner stays.
    emit updater.updateAvailable(QStringLiteral("0.6.0"));
    updater.hide();
    updater.findChild<QPushButton*>(QStringLiteral("closeButton"))->click();
    QVERIFY(banner->isVisible());
}

void TestUpdateNotification::gradient()
{
    UpdateNotification banner;
    banner.resize(400, 100); // no higher than its size hint
    const QImage image = banner.grab().toImage();
    const int last = image.height() - 1;
    QVERIFY(last >= 10);
    const QColor base = UpdateNotification::baseColor();
    const QColor top = image.pixelColor(2, 0);
    const QColor middle = image.pixelColor(2, last / 2);
    const QColor bottom = image.pixelColor(2, last);
    QCOMPARE(middle.name(), base.name());
    QVERIFY2(top.lightness() > middle.lightness(), qPrintable(top.name()));
    QVERIFY2(bottom.lightness() < middle.lightness(), qPrintable(bottom.name()));
    // Vertical: the same from left to right.
    QCOMPARE(image.pixelColor(image.width() - 3, last / 2).name(), base.name());
    QCOMPARE(image.pixelColor(image.width() - 3, 0), top);
}

QTEST_MAIN(TestUpdateNotification)
#include "tst_updatenotification.moc"
