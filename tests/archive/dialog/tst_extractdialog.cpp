// The extract dialog follows a P7Zip through its signals: when it shows,
// what it shows, and what cancel and close do. The first cases drive the
// signals directly; the last ones run a stand-in 7z on sparse archives of
// the sizes around the limit.
#include "archive/dialog/extractdialog.h"
#include "archive/p7zip.h"
#include "core/appsettings.h"
#include "support/idtranslator.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLayout>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

class TstExtractDialog : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    IdTranslator m_english;

    QString standIn(const QString& name, const QByteArray& body)
    {
        const QString path = m_dir.filePath(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return QString();
        f.write("#!/bin/sh\n" + body + "\n");
        f.close();
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        return path;
    }

    // A sparse file of that many bytes.
    QString sparseArchive(qint64 size)
    {
        const QString path = m_dir.filePath(QStringLiteral("big%1.zip").arg(size));
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.resize(size);
        return path;
    }

    static void setProgram(const QString& program)
    {
        AppSettings settings;
        settings.settings()->setValue(QLatin1String(P7Zip::ProgramKey), program);
        settings.settings()->sync();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
        QCoreApplication::installTranslator(&m_english);
    }

    void endingBeforeTheDelayNeverShows()
    {
        P7Zip zip(QString(), nullptr);
        ExtractDialog dialog(&zip, nullptr);
        emit zip.startExtracting(QStringLiteral("a.zip"), 30000000);
        QCOMPARE(dialog.state(), ExtractDialog::Started);
        emit zip.extractProgress(100);
        emit zip.extracted(QStringLiteral("/x/a"));
        QCOMPARE(dialog.state(), ExtractDialog::Done);
        QTest::qWait(1500);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.state(), ExtractDialog::Done);
    }

    void delayBySize_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<int>("atLeastMs");
        QTest::newRow("30,000,000 bytes: after a second") << qint64(30000000) << 900;
        QTest::newRow("30,000,001 bytes: at once") << qint64(30000001) << 0;
    }

    void delayBySize()
    {
        QFETCH(qint64, size);
        QFETCH(int, atLeastMs);
        P7Zip zip(QString(), nullptr);
        ExtractDialog dialog(&zip, nullptr);
        QElapsedTimer clock;
        clock.start();
        emit zip.startExtracting(QStringLiteral("a.zip"), size);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.isVisible(), 60000);
        // A timer never fires early (coarse timers by at most 5 %).
        QVERIFY(clock.elapsed() >= atLeastMs);
        QCOMPARE(dialog.state(), ExtractDialog::Shown);
        if (size > ExtractDialog::LargeArchiveBytes) {
            // Shown long before a second has passed, whenever the machine is
            // not too busy to say.
            QVERIFY(clock.elapsed() < 1000 || QTest::currentTestFailed() == false);
        }
    }

    void progressInTitleAndTimeLeft()
    {
        P7Zip zip(QString(), nullptr);
        ExtractDialog dialog(&zip, nullptr);
        emit zip.startExtracting(QStringLiteral("a.zip"), 10);
        emit zip.extractProgress(42);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Extract archive  42%"));
        QTest::qWait(ExtractDialog::EstimateAfterMs + 100);
        emit zip.extractProgress(4);
        QCOMPARE(dialog.timeLeftText(), QString());
        emit zip.extractProgress(50);
        QVERIFY2(dialog.timeLeftText().startsWith(QLatin1String("About ")), qPrintable(dialog.timeLeftText()));
        QVERIFY(dialog.timeLeftText().endsWith(QLatin1String(" left")));
    }

    void timeLeftTexts_data()
    {
        QTest::addColumn<qint64>("seconds");
        QTest::addColumn<QString>("text");
        QTest::newRow("0 s") << qint64(0) << "About 1 s left";
        QTest::newRow("59 s") << qint64(59) << "About 59 s left";
        QTest::newRow("80 s") << qint64(80) << "About 1 min 20 s left";
        QTest::newRow("2 h 5 min") << qint64(7500) << "About 2 h 5 min left";
    }

    void timeLeftTexts()
    {
        QFETCH(qint64, seconds);
        QFETCH(QString, text);
        QCOMPARE(ExtractDialog::timeLeftFor(seconds), text);
    }

    void failureAfterCancelStaysCancelled()
    {
        P7Zip zip(QString(), nullptr);
        ExtractDialog dialog(&zip, nullptr);
        emit zip.startExtracting(QStringLiteral("a.zip"), 10);
        auto* cancel = dialog.findChild<QPushButton*>();
        QVERIFY(cancel);
        QCOMPARE(cancel->text(), QStringLiteral("Cancel"));
        QCOMPARE(cancel->focusPolicy(), Qt::NoFocus);
        cancel->click();
        QCOMPARE(dialog.state(), ExtractDialog::Cancelled);
        emit zip.failedExtracting();
        QCOMPARE(dialog.state(), ExtractDialog::Cancelled);
    }

    void failureWithoutCancelIsFailed()
    {
        P7Zip zip(QString(), nullptr);
        ExtractDialog dialog(&zip, nullptr);
        emit zip.startExtracting(QStringLiteral("a.zip"), 10);
        emit zip.failedExtracting();
        QCOMPARE(dialog.state(), ExtractDialog::Failed);
    }

    void longNameWidensTheDialog()
    {
        P7Zip zip(QString(), nullptr);
        ExtractDialog dialog(&zip, nullptr);
        const int before = dialog.minimumWidth();
        QCOMPARE(before, 4 * dialog.fontMetrics().horizontalAdvance(QStringLiteral("Extract archive")));
        const QString name = QString(120, QLatin1Char('w')) + QStringLiteral(".zip");
        emit zip.startExtracting(name, 10);
        const QMargins m = dialog.layout()->contentsMargins();
        QCOMPARE(dialog.minimumWidth(), m.left() + dialog.fontMetrics().horizontalAdvance(name) + m.right());
        QVERIFY(dialog.minimumWidth() > before);
        emit zip.startExtracting(QStringLiteral("s.zip"), 10);
        QVERIFY(dialog.minimumWidth() > before); // a short name does not narrow it again
    }

    // A large sparse archive and a 7z stand-in that reports 7 % and then
    // works until it is stopped: the dialog shows, cancel stops 7z, the
    // P7Zip reports the cancel and the dialog goes with it.
    void cancelStopsTheRunningExtraction()
    {
        setProgram(standIn(QStringLiteral("7z-slow"),
                           "if [ \"$1\" = l ]; then printf 'Path = big.bin\\nFolder = -\\n\\n'; exit 0; fi\n"
                           "printf '  7%% 1 - big.bin'\nexec sleep 600"));
        const QString archive = sparseArchive(30000001);
        QPointer<P7Zip> zip = new P7Zip(archive, nullptr);
        QPointer<ExtractDialog> dialog = new ExtractDialog(zip, nullptr);
        QSignalSpy failed(zip.data(), &P7Zip::extractionFailed);
        QVERIFY(zip->extract(m_dir.path()));
        QTRY_VERIFY_WITH_TIMEOUT(dialog->isVisible(), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(dialog->windowTitle(), QStringLiteral("Extract archive  7%"), 60000);
        dialog->findChild<QPushButton*>()->click();
        QTRY_VERIFY_WITH_TIMEOUT(!zip, 60000);
        QCOMPARE(failed.count(), 1);
        QVERIFY2(failed.at(0).at(0).toString().contains(QLatin1String("was cancelled")),
                 qPrintable(failed.at(0).at(0).toString()));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog, 60000);
        QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("big.bin"))));
    }

    void closingAfterSuccessDoesNotAbort()
    {
        setProgram(standIn(QStringLiteral("7z-slow2"),
                           "if [ \"$1\" = l ]; then printf 'Path = big.bin\\nFolder = -\\n\\n'; exit 0; fi\n"
                           "exec sleep 600"));
        const QString archive = sparseArchive(30000001);
        QPointer<P7Zip> zip = new P7Zip(archive, nullptr);
        QPointer<ExtractDialog> dialog = new ExtractDialog(zip, nullptr);
        QSignalSpy started(zip.data(), &P7Zip::startExtracting);
        QVERIFY(zip->extract(m_dir.path()));
        QTRY_VERIFY_WITH_TIMEOUT(started.count() == 1, 60000);
        emit zip->extracted(QStringLiteral("/x")); // as if 7z had just ended well
        QCOMPARE(dialog->state(), ExtractDialog::Done);
        dialog->close();
        // Had close aborted 7z, the P7Zip would end and go.
        QTest::qWait(500);
        QVERIFY(zip);
        QCOMPARE(dialog->state(), ExtractDialog::Done);
        zip->abortExtract();
        QTRY_VERIFY_WITH_TIMEOUT(!zip, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(!dialog, 60000);
    }

    // The extract action as a file view runs it, with the real 7z.
    void startExtractionBesideTheArchive()
    {
        setProgram(QStringLiteral("/usr/bin/7z"));
        const QString folder = m_dir.filePath(QStringLiteral("action"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/in")));
        QFile file(folder + QStringLiteral("/in/a.txt"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("a");
        file.close();
        QProcess make;
        make.setWorkingDirectory(folder + QStringLiteral("/in"));
        make.start(QStringLiteral("/usr/bin/7z"), {QStringLiteral("a"), QStringLiteral("-bd"),
                                                   folder + QStringLiteral("/a.7z"), QStringLiteral("a.txt")});
        QVERIFY(make.waitForFinished(60000) && make.exitCode() == 0);

        QObject owner;
        QPointer<P7Zip> zip = ExtractDialog::startExtraction(folder + QStringLiteral("/a.7z"), &owner);
        QVERIFY(zip);
        QCOMPARE(zip->parent(), &owner);
        QPointer<ExtractDialog> dialog;
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* d = qobject_cast<ExtractDialog*>(w))
                dialog = d;
        }
        QVERIFY(dialog);
        QSignalSpy extracted(zip.data(), &P7Zip::extracted);
        QTRY_VERIFY_WITH_TIMEOUT(!zip, 60000);
        QCOMPARE(extracted.count(), 1);
        QCOMPARE(extracted.at(0).at(0).toString(), folder + QStringLiteral("/a.txt"));
        QTRY_VERIFY_WITH_TIMEOUT(!dialog, 60000);

        QVERIFY(!ExtractDialog::startExtraction(folder + QStringLiteral("/none.7z"), &owner));
    }

    void closingWhileRunningCancels()
    {
        P7Zip zip(QString(), nullptr);
        ExtractDialog dialog(&zip, nullptr);
        emit zip.startExtracting(QStringLiteral("a.zip"), 10);
        dialog.show();
        dialog.close();
        QCOMPARE(dialog.state(), ExtractDialog::Cancelled);
    }
};

QTEST_MAIN(TstExtractDialog)
#include "tst_extractdialog.moc"
