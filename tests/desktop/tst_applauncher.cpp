// The launcher against fake desktop entries in the test's own data
// directories (the user's and one of $XDG_DATA_DIRS), whose Exec lines run
// a recording script that writes its arguments to a file, and the system
// MIME database plus one test package with a quote in a type name.
#include "core/databasesqlite.h"
#include "desktop/applauncher.h"
#include "desktop/openwithmenu.h"
#include "support/idtranslator.h"

#include <QAction>
#include <QDir>
#include <QMenu>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString OwnPeer = QStringLiteral("{00000000-0000-0000-0000-000000000000}");
const QString OtherPeer = QStringLiteral("{6a4e8c0e-1111-4c3b-9c1e-0123456789ab}");
const QString QuoteType = QStringLiteral("application/x-velm-it's");

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
}

} // namespace

class TstAppLauncher : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_userApps;
    QString m_systemApps;
    QString m_recordDir;
    QString m_record;
    QString m_png;
    QString m_text;
    QString m_quoted;
    DatabaseSqlite* m_db = nullptr;
    IdTranslator m_english;

    QString entry(const QString& name, const QString& exec, const QString& mime, const QString& extra = {},
                  bool withIcon = true)
    {
        QString text = QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2\n").arg(name, exec);
        if (withIcon)
            text += QStringLiteral("Icon=velm-test-icon\n");
        if (!mime.isEmpty())
            text += QStringLiteral("MimeType=%1\n").arg(mime);
        return text + extra;
    }

    // An Exec line that records its arguments under the tag.
    QString recorder(const QString& tag, const QString& rest)
    {
        return m_record + QLatin1Char(' ') + tag + QLatin1Char(' ') + rest;
    }

    // The arguments the recording script got under that tag, once it ran.
    QStringList recorded(const QString& tag)
    {
        const QString path = m_recordDir + QLatin1Char('/') + tag;
        QFile f(path);
        for (int i = 0; i < 600 && !f.exists(); ++i)
            QTest::qWait(100);
        if (!f.open(QIODevice::ReadOnly))
            return {QStringLiteral("<nothing recorded>")};
        QStringList args;
        for (const QByteArray& a : f.readAll().split('\0'))
            args.append(QString::fromUtf8(a));
        args.removeLast(); // after the last NUL
        f.close();
        f.remove();
        return args;
    }

    static QStringList names(const AppLauncher& launcher)
    {
        QStringList out;
        for (int r = 0; r < launcher.rowCount(); ++r) {
            const QString name = launcher.data(launcher.index(r, 0), AppLauncher::NameRole).toString();
            if (name.startsWith(QLatin1String("Velm ")))
                out.append(name);
        }
        return out;
    }

    static int idOf(const QString& name)
    {
        QSqlQuery q;
        q.prepare(QStringLiteral("SELECT id FROM apps WHERE name = ?"));
        q.addBindValue(name);
        return q.exec() && q.next() ? q.value(0).toInt() : -1;
    }

    static QStringList usage()
    {
        QStringList rows;
        QSqlQuery q(QStringLiteral("SELECT app_id, type_id, last_used_timestamp FROM app_filetypes ORDER BY 1, 2"));
        while (q.next())
            rows.append(QStringLiteral("%1/%2/%3").arg(q.value(0).toInt()).arg(q.value(1).toInt()).arg(q.value(2).toLongLong()));
        return rows;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
        QCoreApplication::installTranslator(&m_english);
        const QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
        QVERIFY2(dataHome.startsWith(QDir::homePath()), "the test runs with a data directory in its own HOME");
        QDir(dataHome + QStringLiteral("/applications")).removeRecursively();
        QDir(dataHome + QStringLiteral("/mime")).removeRecursively();
        m_userApps = dataHome + QStringLiteral("/applications");
        const QString systemData = m_dir.filePath(QStringLiteral("share"));
        m_systemApps = systemData + QStringLiteral("/applications");
        qputenv("XDG_DATA_DIRS", (systemData + QStringLiteral(":/usr/share")).toUtf8());

        // The test MIME package, before the MIME database is first used.
        writeFile(dataHome + QStringLiteral("/mime/packages/velm-test.xml"),
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
                  "  <mime-type type=\"application/x-velm-it's\"><comment>Velm test</comment>"
                  "<glob pattern=\"*.velmq\"/></mime-type>\n</mime-info>\n");
        QProcess update;
        update.start(QStringLiteral("update-mime-database"), {dataHome + QStringLiteral("/mime")});
        QVERIFY(update.waitForFinished(60000) && update.exitCode() == 0);

        m_recordDir = m_dir.filePath(QStringLiteral("records"));
        QDir().mkpath(m_recordDir);
        m_record = m_dir.filePath(QStringLiteral("record.sh"));
        writeFile(m_record, "#!/bin/sh\n"
                            "out=\"" + m_recordDir.toUtf8() + "/$1\"; shift\n"
                            ": > \"$out.part\"\n"
                            "for a in \"$@\"; do printf '%s\\0' \"$a\" >> \"$out.part\"; done\n"
                            "mv \"$out.part\" \"$out\"\n");
        QFile::setPermissions(m_record, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

        m_png = m_dir.filePath(QStringLiteral("files/picture.png"));
        writeFile(m_png, QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
        m_text = m_dir.filePath(QStringLiteral("files/notes.txt"));
        writeFile(m_text, "plain words\n");
        m_quoted = m_dir.filePath(QStringLiteral("files/it's.velmq"));
        writeFile(m_quoted, "quoted");

        const QString png = QStringLiteral("image/png;");
        writeFile(m_userApps + QStringLiteral("/velm-image-a.desktop"),
                  entry(QStringLiteral("Velm Image A"), recorder(QStringLiteral("imageA"), QStringLiteral("%f")), png).toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-image-b.desktop"),
                  entry(QStringLiteral("Velm Image B"), recorder(QStringLiteral("imageB"), QStringLiteral("%F")),
                        QStringLiteral("image/png;text/plain;")).toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-text.desktop"),
                  entry(QStringLiteral("Velm Text"), recorder(QStringLiteral("text"), QStringLiteral("--new-window %f")),
                        QStringLiteral("text/plain;")).toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-terminal-last.desktop"),
                  entry(QStringLiteral("Velm Terminal Last"), recorder(QStringLiteral("t1"), QStringLiteral("%f")), png,
                        QStringLiteral("Terminal=true\n")).toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-terminal-first.desktop"),
                  QStringLiteral("[Desktop Entry]\nTerminal=true\n").toUtf8()
                      + entry(QStringLiteral("Velm Terminal First"), recorder(QStringLiteral("t2"), QStringLiteral("%f")), png)
                            .mid(16).toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-no-icon.desktop"),
                  entry(QStringLiteral("Velm No Icon"), recorder(QStringLiteral("t3"), QStringLiteral("%f")), png, {}, false)
                      .toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-no-mime.desktop"),
                  entry(QStringLiteral("Velm No Mime"), recorder(QStringLiteral("t4"), QStringLiteral("%f")), {}).toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-shared-1.desktop"),
                  entry(QStringLiteral("Velm Shared One"), recorder(QStringLiteral("shared"), QStringLiteral("%f")),
                        QStringLiteral("text/x-velm-one;")).toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-shared-2.desktop"),
                  entry(QStringLiteral("Velm Shared Two"), recorder(QStringLiteral("shared"), QStringLiteral("%f")),
                        QStringLiteral("text/x-velm-two;")).toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-quote.desktop"),
                  entry(QStringLiteral("Velm Quote"), recorder(QStringLiteral("quote"), QStringLiteral("\"two words\"  %f")),
                        QuoteType + QLatin1Char(';')).toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-rename.desktop"),
                  entry(QStringLiteral("Velm Rename"), recorder(QStringLiteral("rename"), QStringLiteral("%f")), png).toUtf8());
        writeFile(m_userApps + QStringLiteral("/velm-missing.desktop"),
                  entry(QStringLiteral("Velm Missing"), m_dir.filePath(QStringLiteral("no-such-program")) + QStringLiteral(" %f"),
                        QStringLiteral("text/x-velm-missing;")).toUtf8());
        writeFile(m_systemApps + QStringLiteral("/velm-system.desktop"),
                  entry(QStringLiteral("Velm System"), recorder(QStringLiteral("system"), QStringLiteral("%U")), png).toUtf8());
        // The same file id in the user's directory hides the system's entry.
        writeFile(m_systemApps + QStringLiteral("/velm-text.desktop"),
                  entry(QStringLiteral("Velm Hidden By User"), recorder(QStringLiteral("x"), QStringLiteral("%f")), png).toUtf8());

        m_db = new DatabaseSqlite(m_dir.filePath(QStringLiteral("velm.db")), this);
        QVERIFY(m_db->openError().isEmpty());
    }

    void cleanupTestCase()
    {
        delete m_db;
        m_db = nullptr;
    }

    void directories()
    {
        const QStringList dirs = AppLauncher::applicationDirectories();
        QCOMPARE(dirs.value(0), m_userApps);
        QVERIFY(dirs.contains(m_systemApps));
        QVERIFY(dirs.contains(QStringLiteral("/usr/share/applications")));
    }

    void scan_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("listed");
        QTest::newRow("entry in the user's directory") << "Velm Image A" << true;
        QTest::newRow("entry in another data directory") << "Velm System" << true;
        QTest::newRow("Terminal=true after the other keys") << "Velm Terminal Last" << false;
        QTest::newRow("Terminal=true before the other keys") << "Velm Terminal First" << false;
        QTest::newRow("no Icon") << "Velm No Icon" << false;
        QTest::newRow("no MimeType") << "Velm No Mime" << false;
        QTest::newRow("same Exec: the first name gives way") << "Velm Shared One" << false;
        QTest::newRow("same Exec: the last name stays") << "Velm Shared Two" << true;
        QTest::newRow("same file id: the user's entry hides the system's") << "Velm Hidden By User" << false;
    }

    void scan()
    {
        QFETCH(QString, name);
        QFETCH(bool, listed);
        AppLauncher launcher(nullptr);
        QCOMPARE(idOf(name) >= 0, listed);
        QCOMPARE(AppLauncher::instance(), &launcher);
    }

    void sameExecSharesOneRow()
    {
        AppLauncher launcher(nullptr);
        QSqlQuery q(QStringLiteral("SELECT COUNT(*) FROM apps WHERE name LIKE 'Velm Shared%'"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 1);
    }

    void changedNameGivesNewIdWithoutHistory()
    {
        QString renamedFile = m_userApps + QStringLiteral("/velm-rename.desktop");
        int oldId = -1;
        {
            AppLauncher launcher(nullptr);
            oldId = idOf(QStringLiteral("Velm Rename"));
            QVERIFY(oldId >= 0);
            launcher.launch(oldId, OwnPeer, {m_png});
            QCOMPARE(recorded(QStringLiteral("rename")), QStringList{m_png});
            QSqlQuery q;
            q.prepare(QStringLiteral("SELECT MAX(last_used_timestamp) FROM app_filetypes WHERE app_id = ?"));
            q.addBindValue(oldId);
            QVERIFY(q.exec() && q.next());
            QVERIFY(q.value(0).toLongLong() > 0);
        }
        writeFile(renamedFile, entry(QStringLiteral("Velm Renamed"), recorder(QStringLiteral("rename"), QStringLiteral("%f")),
                                     QStringLiteral("image/png;")).toUtf8());
        AppLauncher launcher(nullptr);
        const int newId = idOf(QStringLiteral("Velm Renamed"));
        QVERIFY(newId >= 0);
        QVERIFY(newId != oldId);
        QCOMPARE(idOf(QStringLiteral("Velm Rename")), -1);
        QSqlQuery q;
        q.prepare(QStringLiteral("SELECT COUNT(*), MAX(last_used_timestamp) FROM app_filetypes WHERE app_id = ? OR app_id = ?"));
        q.addBindValue(oldId);
        q.addBindValue(newId);
        QVERIFY(q.exec() && q.next());
        QCOMPARE(q.value(0).toInt(), 1);       // the new row's one link
        QCOMPARE(q.value(1).toLongLong(), 0); // never used
    }

    void selectionOrder()
    {
        AppLauncher launcher(nullptr);
        launcher.selectFiles(OwnPeer, {m_png, m_text});
        const QStringList types = launcher.selectedTypes();
        QCOMPARE(types.value(0), QStringLiteral("image/png"));
        QVERIFY(types.contains(QStringLiteral("text/plain")));
        QVERIFY(!types.contains(QStringLiteral("application/octet-stream")));
        const QStringList rows = names(launcher);
        // The applications for image/png first, then those for the text.
        const int text = rows.indexOf(QStringLiteral("Velm Text"));
        QVERIFY2(text >= 0, qPrintable(rows.join(", ")));
        for (const QString& image : {QStringLiteral("Velm Image A"), QStringLiteral("Velm Image B"), QStringLiteral("Velm System")}) {
            QVERIFY2(rows.contains(image), qPrintable(image));
            QVERIFY2(rows.indexOf(image) < text, qPrintable(rows.join(", ")));
        }
        QCOMPARE(rows.count(QStringLiteral("Velm Image B")), 1); // listed once for two types
        QCOMPARE(launcher.roleNames().value(AppLauncher::AppIdRole), QByteArray("appid"));
        QCOMPARE(launcher.roleNames().value(AppLauncher::AppIconRole), QByteArray("appicon"));
        QCOMPARE(launcher.data(launcher.index(0, 0), AppLauncher::AppIconRole).toString().isEmpty(), false);

        launcher.selectFiles(OwnPeer, {});
        QCOMPARE(launcher.rowCount(), 0);
    }

    void lastUsedComesFirst()
    {
        AppLauncher launcher(nullptr);
        launcher.selectFiles(OwnPeer, {m_png});
        const QStringList before = names(launcher);
        QVERIFY(before.size() >= 2);
        // The last of the PNG applications becomes the first after its use.
        const QString chosen = before.last();
        const int id = idOf(chosen);
        launcher.launch(id);
        QVERIFY(!recorded(chosen == QLatin1String("Velm Image A") ? QStringLiteral("imageA")
                          : chosen == QLatin1String("Velm Image B") ? QStringLiteral("imageB")
                          : chosen == QLatin1String("Velm System") ? QStringLiteral("system")
                                                                     : QStringLiteral("rename")).isEmpty());
        QCOMPARE(names(launcher).value(0), chosen); // the list after the launch
        AppLauncher next(nullptr);
        next.selectFiles(OwnPeer, {m_png});
        QCOMPARE(names(next).value(0), chosen);
    }

    void quotedTypeNameSelectsAndLaunches()
    {
        AppLauncher launcher(nullptr);
        launcher.selectFiles(OwnPeer, {m_quoted});
        QCOMPARE(launcher.selectedTypes().value(0), QuoteType);
        QCOMPARE(names(launcher), QStringList{QStringLiteral("Velm Quote")});
        QSignalSpy failed(&launcher, &AppLauncher::launchFailed);
        launcher.launchDefault(OwnPeer, m_quoted);
        QCOMPARE(recorded(QStringLiteral("quote")), (QStringList{QStringLiteral("two words"), m_quoted}));
        QCOMPARE(failed.count(), 0);
        QSqlQuery q;
        q.prepare(QStringLiteral("SELECT COUNT(*) FROM filetypes WHERE type = ?"));
        q.addBindValue(QuoteType);
        QVERIFY(q.exec() && q.next());
        QCOMPARE(q.value(0).toInt(), 1);
    }

    void launches_data()
    {
        QTest::addColumn<QString>("app");
        QTest::addColumn<QString>("tag");
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("arguments");
        QTest::newRow("%f with one file") << "Velm Image A" << "imageA" << QStringList{"png"} << QStringList{"png"};
        QTest::newRow("%F with every path in order") << "Velm Image B" << "imageB" << QStringList{"text", "png"}
                                                     << QStringList{"text", "png"};
        QTest::newRow("an option before %f") << "Velm Text" << "text" << QStringList{"text"}
                                             << QStringList{"--new-window", "text"};
        QTest::newRow("%U from another data directory") << "Velm System" << "system" << QStringList{"png"}
                                                        << QStringList{"png"};
    }

    void launches()
    {
        QFETCH(QString, app);
        QFETCH(QString, tag);
        QFETCH(QStringList, files);
        QFETCH(QStringList, arguments);
        auto real = [this](QString s) {
            return s == QLatin1String("png") ? m_png : s == QLatin1String("text") ? m_text : s;
        };
        std::vector<QString> paths;
        for (const QString& f : files)
            paths.push_back(real(f));
        QStringList expected;
        for (const QString& a : arguments)
            expected.append(real(a));
        AppLauncher launcher(nullptr);
        QSignalSpy failed(&launcher, &AppLauncher::launchFailed);
        launcher.launch(idOf(app), OwnPeer, paths);
        QCOMPARE(recorded(tag), expected);
        QCOMPARE(failed.count(), 0);
    }

    void refusedLaunchesStartNothing()
    {
        AppLauncher launcher(nullptr);
        QSignalSpy failed(&launcher, &AppLauncher::launchFailed);
        const QStringList before = usage();
        launcher.launch(idOf(QStringLiteral("Velm Image A")), OwnPeer, {m_png, m_text});
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("Velm Image A opens only one file at a time"));
        QCOMPARE(usage(), before);
    }

    void missingProgramSaysSo()
    {
        AppLauncher launcher(nullptr);
        QSignalSpy failed(&launcher, &AppLauncher::launchFailed);
        launcher.launch(idOf(QStringLiteral("Velm Missing")), OwnPeer, {m_text});
        QCOMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(), QStringLiteral("Could not start Velm Missing"));
    }

    void remoteSelectionIsHandedBack()
    {
        AppLauncher launcher(nullptr);
        QSignalSpy deferred(&launcher, &AppLauncher::deferAppLaunch);
        const QStringList before = usage();
        const int id = idOf(QStringLiteral("Velm Image A"));
        launcher.selectFiles(OtherPeer, {QStringLiteral("/remote/photo.png")});
        launcher.launchDefault(QStringLiteral("/remote/photo.png"));
        QCOMPARE(deferred.count(), 1);
        QCOMPARE(deferred.at(0).at(1).toString(), OtherPeer);
        QCOMPARE(deferred.at(0).at(2).value<std::vector<QString>>(), std::vector<QString>{QStringLiteral("/remote/photo.png")});
        launcher.launch(id, OtherPeer, {QStringLiteral("/remote/photo.png")});
        QCOMPARE(deferred.count(), 2);
        QCOMPARE(deferred.at(1).at(0).toInt(), id);
        QCOMPARE(usage(), before); // nothing recorded for the remote selection
        // The Filer copies the file here and launches again with the copy.
        const QString copy = m_dir.filePath(QStringLiteral("tmp/velm/") + OtherPeer + QStringLiteral("/photo.png"));
        writeFile(copy, QByteArray("\x89PNG\r\n\x1a\n", 8));
        launcher.launch(id, OwnPeer, {copy});
        QCOMPARE(recorded(QStringLiteral("imageA")), QStringList{copy});
    }

    void openWithMenu()
    {
        AppLauncher launcher(nullptr);
        launcher.selectFiles(OwnPeer, {m_png});
        const int n = launcher.rowCount();
        QVERIFY(n >= 3);
        QAction preview(QStringLiteral("Preview"));
        QMenu menu;
        OpenWithMenu::fill(&menu, &preview, &launcher);
        const QList<QAction*> actions = menu.actions();
        QCOMPARE(actions.size(), 3);
        QCOMPARE(actions.at(0)->text(), launcher.data(launcher.index(0, 0), AppLauncher::NameRole).toString());
        QCOMPARE(actions.at(1), &preview);
        QVERIFY(actions.at(2)->menu());
        QCOMPARE(actions.at(2)->text(), QStringLiteral("Open with"));
        const QList<QAction*> others = actions.at(2)->menu()->actions();
        QCOMPARE(others.size(), n - 1);
        QCOMPARE(others.at(0)->text(), launcher.data(launcher.index(1, 0), AppLauncher::NameRole).toString());
        QVERIFY(!OpenWithMenu::launch(&preview, &launcher));
        // An entry of the submenu opens the selection with its application.
        QAction* imageA = nullptr;
        for (QAction* a : others + QList<QAction*>{actions.at(0)}) {
            if (a->text() == QLatin1String("Velm Image A"))
                imageA = a;
        }
        QVERIFY(imageA);
        QVERIFY(OpenWithMenu::launch(imageA, &launcher));
        QCOMPARE(recorded(QStringLiteral("imageA")), QStringList{m_png});

        // One application and a disabled preview: the application alone.
        launcher.selectFiles(OwnPeer, {m_quoted});
        preview.setEnabled(false);
        QMenu single;
        OpenWithMenu::fill(&single, &preview, &launcher);
        QCOMPARE(single.actions().size(), 1);
        QCOMPARE(single.actions().at(0)->text(), QStringLiteral("Velm Quote"));
    }

    void launchDefaultOpensTheActivatedFile()
    {
        AppLauncher launcher(nullptr);
        // The last selection was text; the activated file is the quoted one.
        launcher.selectFiles(OwnPeer, {m_text});
        launcher.launchDefault(m_quoted);
        QCOMPARE(recorded(QStringLiteral("quote")), (QStringList{QStringLiteral("two words"), m_quoted}));
    }
};

QTEST_MAIN(TstAppLauncher)
#include "tst_applauncher.moc"
