// Extraction with the real 7z (archives made here with 7z, tar and python3's
// zipfile) and with stand-in 7z scripts that misbehave. In every case the
// files that were in the destination before stay as they were.
#include "archive/archivelisting.h"
#include "archive/p7zip.h"
#include "core/appsettings.h"
#include "support/idtranslator.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

const QString RealProgram = QStringLiteral("/usr/bin/7z");

bool run(const QString& program, const QStringList& args, const QString& dir)
{
    QProcess p;
    p.setWorkingDirectory(dir);
    p.setStandardInputFile(QProcess::nullDevice());
    p.start(program, args);
    return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Every item below dir with its content digest (links by their target).
QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> items;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        QByteArray digest;
        if (info.isSymLink()) {
            digest = "link:" + QFile::encodeName(info.symLinkTarget());
        } else if (info.isFile()) {
            QFile f(path);
            if (f.open(QIODevice::ReadOnly))
                digest = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256);
        } else {
            digest = "dir";
        }
        items.insert(QDir(dir).relativeFilePath(path), digest);
    }
    return items;
}

void setProgram(const QString& program)
{
    AppSettings settings;
    settings.settings()->setValue(QLatin1String(P7Zip::ProgramKey), program);
    settings.settings()->sync();
}

struct Outcome
{
    bool started = false;
    bool succeeded = false;
    bool failed = false;
    QString path;
    QString message;
    QList<int> progress;
};

} // namespace

class TstP7Zip : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    int m_serial = 0;
    IdTranslator m_english;

    QString freshDir()
    {
        const QString dir = m_dir.filePath(QStringLiteral("case%1").arg(++m_serial));
        QDir().mkpath(dir);
        return dir;
    }

    QString standIn(const QString& body)
    {
        const QString path = m_dir.filePath(QStringLiteral("7z-standin-%1").arg(++m_serial));
        writeFile(path, "#!/bin/sh\n" + body.toUtf8() + "\n");
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        return path;
    }

    // Runs one extraction to its end (the object deletes itself).
    Outcome extract(const QString& archive, const QString& destination,
                    const std::function<void(P7Zip*)>& prepare = {})
    {
        Outcome outcome;
        QPointer<P7Zip> zip = new P7Zip(archive, nullptr);
        if (prepare)
            prepare(zip);
        connect(zip, &P7Zip::startExtracting, this, [&] { outcome.started = true; });
        connect(zip, &P7Zip::extractProgress, this, [&](int p) { outcome.progress.append(p); });
        connect(zip, &P7Zip::extracted, this, [&](const QString& path) {
            outcome.succeeded = true;
            outcome.path = path;
        });
        connect(zip, &P7Zip::extractionFailed, this, [&](const QString& m) { outcome.message = m; });
        connect(zip, &P7Zip::failedExtracting, this, [&] { outcome.failed = true; });
        if (!zip->extract(destination)) {
            delete zip;
            return outcome;
        }
        for (int i = 0; i < 1200 && zip; ++i)
            QTest::qWait(100);
        if (zip)
            qWarning("extraction of %s did not end", qPrintable(archive));
        return outcome;
    }

    QString makeZip(const QString& name, const QList<QPair<QString, QByteArray>>& entries,
                    const QStringList& links = {})
    {
        // links: "name=target" pairs stored as symbolic links.
        const QString path = m_dir.filePath(QStringLiteral("archives%1/%2").arg(++m_serial).arg(name));
        QDir().mkpath(QFileInfo(path).absolutePath());
        QString script = QStringLiteral("import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1], 'w')\n");
        for (const QString& link : links) {
            const QStringList nt = link.split(QLatin1Char('='));
            script += QStringLiteral("i = zipfile.ZipInfo(%1)\ni.external_attr = 0o120777 << 16\nz.writestr(i, %2)\n")
                          .arg(pyString(nt.at(0)), pyString(nt.at(1)));
        }
        for (const auto& e : entries)
            script += QStringLiteral("z.writestr(%1, %2)\n").arg(pyString(e.first), pyString(QString::fromUtf8(e.second)));
        script += QStringLiteral("z.close()\n");
        if (!run(QStringLiteral("python3"), {QStringLiteral("-c"), script, path}, m_dir.path()))
            qWarning("python3 zipfile failed");
        return path;
    }

    static QString pyString(const QString& s)
    {
        QString out = QStringLiteral("'");
        for (const QChar c : s)
            out += c == QLatin1Char('\'') || c == QLatin1Char('\\') ? QStringLiteral("\\") + c : QString(c);
        return out + QLatin1Char('\'');
    }

    // A 7z archive of the named items of dir, made by the real 7z.
    QString make7z(const QString& name, const QString& dir, const QStringList& items)
    {
        const QString path = m_dir.filePath(QStringLiteral("archives%1/%2").arg(++m_serial).arg(name));
        QDir().mkpath(QFileInfo(path).absolutePath());
        QStringList args{QStringLiteral("a"), QStringLiteral("-bd"), path};
        args += items;
        if (!run(RealProgram, args, dir))
            qWarning("7z a failed");
        return path;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
        QCoreApplication::installTranslator(&m_english);
        QVERIFY2(QFileInfo(RealProgram).isExecutable(), "the tests need /usr/bin/7z (package p7zip-full)");
    }

    void init()
    {
        setProgram(RealProgram);
    }

    void progress_data()
    {
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<int>("percent");
        QTest::newRow("blanks, 7% and more") << QByteArray("  7% more") << 7;
        QTest::newRow("blank and 7% only") << QByteArray(" 7%") << -1;
        QTest::newRow("100%") << QByteArray("100%") << 100;
        QTest::newRow("120% and more") << QByteArray("120% more") << -1;
        QTest::newRow("backspaces before") << QByteArray("\b\b\b\b 42% 3 - a.txt") << 42;
        QTest::newRow("no percent") << QByteArray("Everything is Ok") << -1;
        QTest::newRow("words before the number") << QByteArray("12 files, 7%") << -1;
    }

    void progress()
    {
        QFETCH(QByteArray, chunk);
        QFETCH(int, percent);
        QCOMPARE(P7Zip::progressFromOutput(chunk), percent);
    }

    void splitName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("tar.gz") << "backup.tar.gz" << "backup" << "tar.gz";
        QTest::newRow("year in the name") << "report.2020.pdf" << "report.2020" << "pdf";
        QTest::newRow("long part") << "photo.holiday.jpg" << "photo.holiday" << "jpg";
        QTest::newRow("plain") << "notes.txt" << "notes" << "txt";
        QTest::newRow("no suffix") << "README" << "" << "";
        QTest::newRow("hidden name") << ".bashrc" << "" << "";
    }

    void splitName()
    {
        QFETCH(QString, name);
        QFETCH(QString, base);
        QFETCH(QString, suffix);
        QString b;
        QString s;
        P7Zip::splitName(name, &b, &s);
        QCOMPARE(b, base);
        QCOMPARE(s, suffix);
    }

    void isAvailable_data()
    {
        QTest::addColumn<bool>("programThere");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("available");
        QTest::newRow("tar.gz in capitals") << true << "a.TAR.GZ" << true;
        QTest::newRow("zip") << true << "x.zip" << true;
        QTest::newRow("7z") << true << "x.7z" << true;
        QTest::newRow("rar") << true << "a.rar" << false;
        QTest::newRow("zip without the program") << false << "x.zip" << false;
    }

    void isAvailable()
    {
        QFETCH(bool, programThere);
        QFETCH(QString, name);
        QFETCH(bool, available);
        setProgram(programThere ? RealProgram : m_dir.filePath(QStringLiteral("no-such-7z")));
        QCOMPARE(P7Zip::isAvailable(name), available);
    }

    void oneFileGoesInThenOutUnderFreeNames()
    {
        const QString dest = freshDir();
        const QString archive = makeZip(QStringLiteral("notes.zip"), {{QStringLiteral("notes.txt"), "new"}});
        Outcome o = extract(archive, dest);
        QVERIFY2(o.succeeded, qPrintable(o.message));
        QCOMPARE(o.path, dest + QStringLiteral("/notes.txt"));
        writeFile(dest + QStringLiteral("/notes.txt"), "mine");

        o = extract(archive, dest);
        QVERIFY2(o.succeeded, qPrintable(o.message));
        QCOMPARE(o.path, dest + QStringLiteral("/notes (1).txt"));
        o = extract(archive, dest);
        QVERIFY2(o.succeeded, qPrintable(o.message));
        QCOMPARE(o.path, dest + QStringLiteral("/notes (2).txt"));

        const auto items = snapshot(dest);
        QCOMPARE(items.keys(), (QStringList{QStringLiteral("notes (1).txt"), QStringLiteral("notes (2).txt"),
                                            QStringLiteral("notes.txt")}));
        QCOMPARE(items.value(QStringLiteral("notes.txt")), QCryptographicHash::hash("mine", QCryptographicHash::Sha256));
    }

    void destinations_data()
    {
        QTest::addColumn<QString>("archiveName");
        QTest::addColumn<QStringList>("items"); // made in a source folder, then archived with 7z
        QTest::addColumn<QStringList>("existing");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("resultHolds");
        QTest::newRow("one folder, taken") << "src.7z" << QStringList{"src/a.c", "src/lib/b.c"}
                                           << QStringList{"src/mine.c"} << "src (1)"
                                           << QStringList{"a.c", "lib/b.c"};
        QTest::newRow("one folder, free") << "src.7z" << QStringList{"src/a.c"} << QStringList{} << "src"
                                          << QStringList{"a.c"};
        QTest::newRow("folder and file") << "mixed.7z" << QStringList{"dir/a", "top.txt"} << QStringList{}
                                         << "mixed" << QStringList{"dir/a", "top.txt"};
        QTest::newRow("two files, base taken") << "pair.7z" << QStringList{"a.txt", "b.txt"}
                                               << QStringList{"pair"} << "pair (1)"
                                               << QStringList{"a.txt", "b.txt"};
        QTest::newRow("tar.gz base keeps .tar") << "photos.tar.gz" << QStringList{} << QStringList{}
                                                << "photos.tar" << QStringList{};
    }

    void destinations()
    {
        QFETCH(QString, archiveName);
        QFETCH(QStringList, items);
        QFETCH(QStringList, existing);
        QFETCH(QString, result);
        QFETCH(QStringList, resultHolds);
        const QString source = freshDir();
        QStringList tops;
        for (const QString& item : items) {
            writeFile(source + QLatin1Char('/') + item, item.toUtf8());
            const QString top = item.section(QLatin1Char('/'), 0, 0);
            if (!tops.contains(top))
                tops.append(top);
        }
        QString archive;
        if (archiveName.endsWith(QLatin1String(".tar.gz"))) {
            // One file inside (the tar), which 7z unpacks as photos.tar.
            writeFile(source + QStringLiteral("/x"), "x");
            archive = m_dir.filePath(QStringLiteral("archives%1/%2").arg(++m_serial).arg(archiveName));
            QDir().mkpath(QFileInfo(archive).absolutePath());
            QVERIFY(run(QStringLiteral("tar"), {QStringLiteral("czf"), archive, QStringLiteral("x")}, source));
        } else {
            archive = make7z(archiveName, source, tops);
        }
        const QString dest = freshDir();
        for (const QString& e : existing)
            writeFile(dest + QLatin1Char('/') + e, "mine");
        const auto before = snapshot(dest);

        const Outcome o = extract(archive, dest);
        QVERIFY2(o.succeeded, qPrintable(o.message));
        QCOMPARE(o.path, dest + QLatin1Char('/') + result);
        const auto after = snapshot(dest);
        for (auto it = before.begin(); it != before.end(); ++it)
            QCOMPARE(after.value(it.key()), it.value());
        for (const QString& inside : resultHolds)
            QVERIFY2(QFileInfo(o.path + QLatin1Char('/') + inside).isFile(), qPrintable(inside));
        // No hidden folder is left behind.
        for (const QString& key : after.keys())
            QVERIFY2(!key.startsWith(QLatin1Char('.')), qPrintable(key));
    }

    void emptyArchiveGoesIntoFolderOfItsName()
    {
        const QString dest = freshDir();
        const QString archive = makeZip(QStringLiteral("empty.zip"), {});
        const Outcome o = extract(archive, dest);
        QVERIFY2(o.succeeded, qPrintable(o.message));
        QCOMPARE(o.path, dest + QStringLiteral("/empty"));
    }

    // Stand-ins of 7z. The listing names two top-level files; "x" writes them
    // into the -o folder unless it misbehaves first.
    void faultyPrograms_data()
    {
        const QString listing = QStringLiteral(
            "if [ \"$1\" = l ]; then printf 'Path = a.txt\\nFolder = -\\nSize = 1\\n\\nPath = b.txt\\nFolder = -\\nSize = 1'; exit 0; fi\n");
        const QString write = QStringLiteral(
            "for a in \"$@\"; do case \"$a\" in -o*) out=\"${a#-o}\";; esac; done\n"
            "mkdir -p \"$out\" && echo A > \"$out/a.txt\" && echo B > \"$out/b.txt\"\n");
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<QString>("message");
        QTest::newRow("last entry without blank line: two top-level entries")
            << listing + write << true << QString();
        QTest::newRow("extraction crashes after writing")
            << listing + write + QStringLiteral("kill -SEGV $$\n") << false << "7z stopped abnormally";
        QTest::newRow("extraction exits with 2") << listing + QStringLiteral("exit 2\n") << false
                                                 << "7z reported error 2";
        QTest::newRow("listing crashes") << QStringLiteral("kill -SEGV $$\n") + write << false
                                         << "7z stopped abnormally";
        QTest::newRow("listing exits with 2 after a partial listing")
            << QStringLiteral("if [ \"$1\" = l ]; then printf 'Path = a.txt\\n\\n'; exit 2; fi\n") + write
            << false << "7z reported error 2";
        QTest::newRow("listing hangs") << QStringLiteral("if [ \"$1\" = l ]; then sleep 600; fi\n") + write
                                       << false << "did not finish listing";
        QTest::newRow("asks for a password")
            << QStringLiteral("echo 'Enter password:' >&2; read pw; echo 'ERROR: Wrong password' >&2; exit 2\n")
            << false << "password-protected archives are not supported";
        QTest::newRow("malformed listing")
            << QStringLiteral("if [ \"$1\" = l ]; then printf 'Path = a.txt\\nnonsense\\n\\n'; exit 0; fi\n") + write
            << false << "listing of the archive could not be read";
    }

    void faultyPrograms()
    {
        QFETCH(QString, script);
        QFETCH(bool, succeeds);
        QFETCH(QString, message);
        setProgram(standIn(script));
        const QString archives = freshDir();
        const QString archive = archives + QStringLiteral("/two.zip");
        writeFile(archive, "not read by the stand-in");
        const QString dest = freshDir();
        writeFile(dest + QStringLiteral("/a.txt"), "mine");
        writeFile(dest + QStringLiteral("/two"), "mine too");
        const auto before = snapshot(dest);

        const Outcome o = extract(archive, dest, [](P7Zip* zip) { zip->setListingTimeout(500); });
        QCOMPARE(o.succeeded, succeeds);
        QCOMPARE(o.failed, !succeeds);
        if (succeeds) {
            QCOMPARE(o.path, dest + QStringLiteral("/two (1)"));
            QVERIFY(QFileInfo(o.path + QStringLiteral("/a.txt")).isFile());
            QVERIFY(QFileInfo(o.path + QStringLiteral("/b.txt")).isFile());
        } else {
            QVERIFY2(o.message.contains(message), qPrintable(o.message));
            QVERIFY2(o.message.contains(QLatin1String("two.zip")), qPrintable(o.message));
        }
        const auto after = snapshot(dest);
        for (auto it = before.begin(); it != before.end(); ++it)
            QCOMPARE(after.value(it.key()), it.value());
        // A run that failed before 7z extracted anything wrote nothing.
        if (!succeeds && !script.contains(QLatin1String("kill -SEGV $$\n")) )
            QCOMPARE(after.keys(), before.keys());
    }

    void missingProgramSaysSo()
    {
        setProgram(m_dir.filePath(QStringLiteral("no-such-7z")));
        const QString archive = makeZip(QStringLiteral("n.zip"), {{QStringLiteral("n.txt"), "n"}});
        const QString dest = freshDir();
        const Outcome o = extract(archive, dest);
        QVERIFY(o.failed);
        QVERIFY2(o.message.contains(QLatin1String("could not be started")), qPrintable(o.message));
        QVERIFY(snapshot(dest).isEmpty());
    }

    void refusedBeforeStart_data()
    {
        QTest::addColumn<bool>("archiveThere");
        QTest::addColumn<bool>("destinationThere");
        QTest::newRow("no archive") << false << true;
        QTest::newRow("no destination") << true << false;
    }

    void refusedBeforeStart()
    {
        QFETCH(bool, archiveThere);
        QFETCH(bool, destinationThere);
        const QString archive = archiveThere ? makeZip(QStringLiteral("n.zip"), {{QStringLiteral("n"), "n"}})
                                             : m_dir.filePath(QStringLiteral("none.zip"));
        const QString dest = destinationThere ? freshDir() : m_dir.filePath(QStringLiteral("nowhere"));
        P7Zip zip(archive, nullptr);
        QSignalSpy failed(&zip, &P7Zip::failedExtracting);
        QVERIFY(!zip.extract(dest));
        QCOMPARE(failed.count(), 0);
        QVERIFY(!QFileInfo::exists(m_dir.filePath(QStringLiteral("nowhere"))));
    }

    void failedMoveKeepsHiddenFolder()
    {
        const QString dest = freshDir();
        writeFile(dest + QStringLiteral("/notes.txt"), "mine");
        const QString archive = makeZip(QStringLiteral("notes.zip"), {{QStringLiteral("notes.txt"), "new"}});
        int moves = 0;
        const Outcome o = extract(archive, dest, [&moves](P7Zip* zip) {
            zip->setMoveFunction([&moves](const QString&, const QString&) {
                ++moves;
                return false;
            });
        });
        QVERIFY(o.failed);
        QVERIFY(!o.succeeded);
        QCOMPARE(moves, 1);
        QVERIFY2(o.message.contains(QLatin1String("could not be moved")), qPrintable(o.message));
        const QString hidden = dest + QLatin1Char('/') + P7Zip::hiddenFolderName(QStringLiteral("notes.zip"));
        QFile kept(hidden + QStringLiteral("/notes.txt"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), QByteArray("new"));
        QFile mine(dest + QStringLiteral("/notes.txt"));
        QVERIFY(mine.open(QIODevice::ReadOnly));
        QCOMPARE(mine.readAll(), QByteArray("mine"));
    }

    void hostileArchives_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("succeeds");
        QTest::newRow("zip with ../x") << "parent" << false;
        QTest::newRow("zip with /etc/x") << "absolute" << false;
        QTest::newRow("tar: link to an outside folder, then a file through it") << "tarlink-out" << false;
        QTest::newRow("tar: link climbing out") << "tarlink-up" << false;
        QTest::newRow("zip: link to an outside folder, then a file through it") << "ziplink-out" << false;
        QTest::newRow("tar: link inside the archive's folders") << "tarlink-in" << true;
    }

    void hostileArchives()
    {
        QFETCH(QString, kind);
        QFETCH(bool, succeeds);
        const QString outside = freshDir(); // where a hostile entry would land
        const QString dest = freshDir() + QStringLiteral("/d/e");
        QDir().mkpath(dest);
        writeFile(dest + QStringLiteral("/x"), "mine");
        QString archive;
        if (kind == QLatin1String("parent")) {
            archive = makeZip(QStringLiteral("p.zip"), {{QStringLiteral("ok.txt"), "ok"}, {QStringLiteral("../x"), "evil"}});
        } else if (kind == QLatin1String("absolute")) {
            archive = makeZip(QStringLiteral("a.zip"),
                              {{QStringLiteral("ok.txt"), "ok"}, {outside + QStringLiteral("/x"), "evil"}});
        } else if (kind == QLatin1String("ziplink-out")) {
            archive = makeZip(QStringLiteral("l.zip"), {{QStringLiteral("lnk/x"), "evil"}},
                              {QStringLiteral("lnk=") + outside});
        } else {
            const QString source = freshDir();
            writeFile(source + QStringLiteral("/t/inside/keep.txt"), "keep");
            const QString target = kind == QLatin1String("tarlink-out") ? outside
                                 : kind == QLatin1String("tarlink-up")  ? QStringLiteral("../../..")
                                                                        : QStringLiteral("inside");
            QVERIFY(QFile::link(target, source + QStringLiteral("/t/lnk")));
            archive = m_dir.filePath(QStringLiteral("archives%1/t.tar").arg(++m_serial));
            QDir().mkpath(QFileInfo(archive).absolutePath());
            QStringList args{QStringLiteral("cf"), archive, QStringLiteral("t/inside"), QStringLiteral("t/lnk")};
            if (kind != QLatin1String("tarlink-in")) {
                // A file stored under the link's name: written through the link.
                QVERIFY(QFile::remove(source + QStringLiteral("/t/lnk")));
                QVERIFY(QFile::link(target, source + QStringLiteral("/t/lnk")));
                writeFile(source + QStringLiteral("/through/x"), "evil");
                args += {QStringLiteral("--transform=s,^through,t/lnk,"), QStringLiteral("through/x")};
            }
            QVERIFY(run(QStringLiteral("tar"), args, source));
            // 7z reads .tar too; P7Zip only offers the suffixes of isAvailable
            // in menus, extract() itself takes any archive.
        }
        const auto before = snapshot(dest);
        const auto outsideBefore = snapshot(outside);
        const Outcome o = extract(archive, dest);
        QCOMPARE(o.succeeded, succeeds);
        if (succeeds) {
            QCOMPARE(o.path, dest + QStringLiteral("/t"));
            QVERIFY(QFileInfo(o.path + QStringLiteral("/lnk")).isSymLink());
            QVERIFY(QFileInfo(o.path + QStringLiteral("/lnk/keep.txt")).isFile());
        } else {
            QVERIFY2(o.message.contains(QLatin1String("entry")), qPrintable(o.message));
            QCOMPARE(snapshot(dest), before);
        }
        QCOMPARE(snapshot(outside), outsideBefore);
        QVERIFY(!QFileInfo::exists(QFileInfo(dest).absolutePath() + QStringLiteral("/x")));
    }

    void encryptedArchives_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("switches");
        QTest::newRow("7z with encrypted headers") << "secret.7z" << QStringList{"-psecret", "-mhe=on"};
        QTest::newRow("7z with encrypted content") << "secret2.7z" << QStringList{"-psecret"};
        QTest::newRow("zip with encrypted content") << "secret.zip" << QStringList{"-psecret"};
    }

    void encryptedArchives()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, switches);
        const QString source = freshDir();
        writeFile(source + QStringLiteral("/n.txt"), "secret");
        const QString archive = m_dir.filePath(QStringLiteral("archives%1/%2").arg(++m_serial).arg(name));
        QDir().mkpath(QFileInfo(archive).absolutePath());
        QVERIFY(run(RealProgram, QStringList{QStringLiteral("a"), QStringLiteral("-bd")} + switches
                                     + QStringList{archive, QStringLiteral("n.txt")},
                    source));
        const QString dest = freshDir();
        // With no input and the default time limit, a 7z waiting for a
        // password would end in the time-out message, not this one.
        const Outcome o = extract(archive, dest);
        QVERIFY(o.failed);
        QVERIFY2(o.message.contains(QLatin1String("password-protected archives are not supported")),
                 qPrintable(o.message));
        QVERIFY(snapshot(dest).isEmpty());
    }

    void cancelDuringListingSaysCancelled()
    {
        setProgram(standIn(QStringLiteral("sleep 600\n")));
        const QString archive = makeZip(QStringLiteral("c.zip"), {{QStringLiteral("n"), "n"}});
        const QString dest = freshDir();
        const Outcome o = extract(archive, dest, [](P7Zip* zip) {
            QTimer::singleShot(50, zip, &P7Zip::abortExtract);
        });
        QVERIFY(o.failed);
        QVERIFY2(o.message.contains(QLatin1String("was cancelled")), qPrintable(o.message));
    }

    void progressOfRealExtraction()
    {
        const QString source = freshDir();
        writeFile(source + QStringLiteral("/a.txt"), QByteArray(100000, 'a'));
        writeFile(source + QStringLiteral("/b.txt"), QByteArray(100000, 'b'));
        const QString archive = make7z(QStringLiteral("ab.7z"), source, {QStringLiteral("a.txt"), QStringLiteral("b.txt")});
        const QString dest = freshDir();
        const Outcome o = extract(archive, dest);
        QVERIFY2(o.succeeded, qPrintable(o.message));
        QVERIFY(o.started);
        for (int p : o.progress)
            QVERIFY(p >= 0 && p <= 100);
    }
};

QTEST_GUILESS_MAIN(TstP7Zip)
#include "tst_p7zip.moc"
