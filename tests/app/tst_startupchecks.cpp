// The program as a user starts it: two at once on one configuration
// directory, a damaged velm.db, a listening port that is taken. Runs the
// velm binary on the offscreen platform and reads its stderr and exit code.

#include "core/startupreport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

constexpr int StartLimitMs = 60000;   // a sanitizer build on a busy machine starts slowly
constexpr qint64 PairLoopBudgetMs = 60000; // the two-instance loop stops after this or 50 rounds
constexpr int PairLoopRounds = 50;

// The program started by these tests reaches no outside address: its
// config.ini names no STUN server and no LAN announcement group. The network
// switch is on only where a test needs the listening port.
void writeConfig(const QString& configDir, bool networkEnabled)
{
    QDir().mkpath(configDir);
    QFile file(configDir + QStringLiteral("/config.ini"));
    if (file.exists() || !file.open(QIODevice::WriteOnly))
        return;
    file.write("[Network]\nstunServers=\n\n[lan]\nmulticastGroup=\n\n[network]\nenabled=");
    file.write(networkEnabled ? "true\n" : "false\n");
}

QStringList velmArguments(const QString& configDir, const QStringList& more = {})
{
    writeConfig(configDir, false);
    return QStringList{QStringLiteral("--config-dir=") + configDir, QStringLiteral("-platform"),
                       QStringLiteral("offscreen")}
           + more;
}

// Own key pairs stored in the database at path; -1 when it cannot be read.
int ownKeyPairs(const QString& path)
{
    if (!QFile::exists(path))
        return 0;
    const QString name = QStringLiteral("check-") + QUuid::createUuid().toString();
    int count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("SELECT count(*) FROM peer_cryptokeys WHERE type = 'pksk' AND "
                                      "peer_uuid = '{00000000-0000-0000-0000-000000000000}'"))
                && q.next())
                count = q.value(0).toInt();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return count;
}

QByteArray digest(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

// A velm.db as the program leaves it, made once and copied for each case.
QByteArray goodDatabase(const QString& workDir)
{
    static QByteArray bytes;
    if (!bytes.isEmpty())
        return bytes;
    const QString dir = workDir + QStringLiteral("/good");
    QProcess velm;
    velm.start(QStringLiteral(VELM_BINARY), velmArguments(dir));
    if (!velm.waitForStarted())
        return QByteArray();
    QElapsedTimer timer;
    timer.start();
    while (ownKeyPairs(dir + QStringLiteral("/velm.db")) < 1 && timer.elapsed() < StartLimitMs)
        QTest::qWait(100);
    velm.kill();
    velm.waitForFinished();
    // Killed, it left its rows in the write-ahead log: bring them into the
    // file, which is then a whole database on its own.
    const QString name = QStringLiteral("checkpoint-") + QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(dir + QStringLiteral("/velm.db"));
        if (db.open())
            QSqlQuery(db).exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    QFile file(dir + QStringLiteral("/velm.db"));
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    return bytes;
}

} // namespace

class TestStartupChecks : public QObject
{
    Q_OBJECT
private slots:
    void twoInstancesTogether();
    void killedInstanceDoesNotBlock();
    void damagedDatabase_data();
    void damagedDatabase();
    void emptyDatabaseFileStartsNew();
    void takenPort();
    void unusablePortOption_data();
    void unusablePortOption();
    void quitSignals_data();
    void quitSignals();
    void licensesBesideProgram();

private:
    QTemporaryDir m_work;
};

// Started together on a new directory, one runs and stores one key pair;
// the other says why it stops and ends with its own exit code. As many
// rounds as fit in the time budget, at most 50.
void TestStartupChecks::twoInstancesTogether()
{
    QElapsedTimer budget;
    budget.start();
    int rounds = 0;
    for (; rounds < PairLoopRounds && (rounds == 0 || budget.elapsed() < PairLoopBudgetMs); ++rounds) {
        const QString dir = m_work.filePath(QStringLiteral("pair%1").arg(rounds));
        QProcess first;
        QProcess second;
        first.start(QStringLiteral(VELM_BINARY), velmArguments(dir));
        second.start(QStringLiteral(VELM_BINARY), velmArguments(dir));
        QVERIFY(first.waitForStarted());
        QVERIFY(second.waitForStarted());

        // One of them stops by itself.
        QElapsedTimer timer;
        timer.start();
        while (first.state() == QProcess::Running && second.state() == QProcess::Running
               && timer.elapsed() < StartLimitMs)
            QTest::qWait(20);
        QVERIFY2(first.state() != second.state(), "exactly one instance must stop by itself");
        QProcess& stopped = first.state() == QProcess::Running ? second : first;
        QProcess& running = first.state() == QProcess::Running ? first : second;
        stopped.waitForFinished();
        QCOMPARE(stopped.exitStatus(), QProcess::NormalExit);
        QCOMPARE(stopped.exitCode(), int(StartupExitAnotherInstance));
        const QString said = QString::fromLocal8Bit(stopped.readAllStandardError());
        QVERIFY2(said.contains(QStringLiteral("another instance")) && said.contains(dir), qPrintable(said));

        // The one that runs makes the identity: one key pair, never two.
        while (ownKeyPairs(dir + QStringLiteral("/velm.db")) < 1 && timer.elapsed() < StartLimitMs
               && running.state() == QProcess::Running)
            QTest::qWait(50);
        QCOMPARE(running.state(), QProcess::Running);
        running.kill();
        running.waitForFinished();
        QCOMPARE(ownKeyPairs(dir + QStringLiteral("/velm.db")), 1);
    }
    qInfo("%d rounds of two instances in %lld ms", rounds, budget.elapsed());
}

// A killed instance's lock goes with it: the next start on the directory runs.
void TestStartupChecks::killedInstanceDoesNotBlock()
{
    const QString dir = m_work.filePath(QStringLiteral("killed"));
    for (int start = 0; start < 2; ++start) {
        QProcess velm;
        velm.start(QStringLiteral(VELM_BINARY), velmArguments(dir));
        QVERIFY(velm.waitForStarted());
        QElapsedTimer timer;
        timer.start();
        while (ownKeyPairs(dir + QStringLiteral("/velm.db")) < 1 && velm.state() == QProcess::Running
               && timer.elapsed() < StartLimitMs)
            QTest::qWait(50);
        QVERIFY2(velm.state() == QProcess::Running, velm.readAllStandardError().constData());
        QVERIFY(QFile::exists(dir + QStringLiteral("/velm.lock")));
        ::kill(pid_t(velm.processId()), SIGKILL);
        velm.waitForFinished();
    }
    QCOMPARE(ownKeyPairs(dir + QStringLiteral("/velm.db")), 1);
}

void TestStartupChecks::damagedDatabase_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("cause"); // part of the message

    QTest::newRow("first half of a good one") << "half" << "malformed";
    QTest::newRow("random bytes") << "random" << "not a database";
    QTest::newRow("a directory in its place") << "directory" << "is a directory";
    QTest::newRow("a good one that cannot be written") << "readonly" << "cannot be written";
}

// The program says which file and why, stops with its exit code for it,
// and leaves the file's bytes as they were.
void TestStartupChecks::damagedDatabase()
{
    QFETCH(QString, kind);
    QFETCH(QString, cause);

    const QByteArray good = goodDatabase(m_work.path());
    QVERIFY2(good.size() >= 8 * 4096, "a good database holds more than a few pages");
    const QString dir = m_work.filePath(QStringLiteral("damaged-") + kind);
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + QStringLiteral("/velm.db");
    if (kind == QLatin1String("directory")) {
        QVERIFY(QDir().mkpath(path + QStringLiteral("/inside")));
    } else {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QByteArray bytes = good;
        if (kind == QLatin1String("half"))
            bytes = good.left(good.size() / 2);
        else if (kind == QLatin1String("random"))
            for (char& c : bytes)
                c = char(QRandomGenerator::global()->bounded(256));
        file.write(bytes);
    }
    bool immutable = false;
    if (kind == QLatin1String("readonly")) {
        // Root writes through the permission bits; the immutable flag stops it too.
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::ReadGroup));
        if (::geteuid() == 0) {
            QVERIFY2(QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0,
                     "chattr +i is needed to make a file that root cannot write");
            immutable = true;
        }
    }
    const QByteArray before = digest(path);

    QProcess velm;
    velm.start(QStringLiteral(VELM_BINARY), velmArguments(dir));
    QVERIFY(velm.waitForStarted());
    const bool ended = velm.waitForFinished(StartLimitMs);
    if (!ended)
        velm.kill();
    if (immutable)
        QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path});
    QVERIFY2(ended, "the program ran on with a database it cannot use");
    QCOMPARE(velm.exitStatus(), QProcess::NormalExit);
    QCOMPARE(velm.exitCode(), int(StartupExitDatabaseUnusable));
    const QString said = QString::fromLocal8Bit(velm.readAllStandardError());
    QVERIFY2(said.contains(path) && said.contains(cause), qPrintable(said));
    QCOMPARE(digest(path), before);
}

// An empty file is a new database: the program starts and makes its identity in it.
void TestStartupChecks::emptyDatabaseFileStartsNew()
{
    const QString dir = m_work.filePath(QStringLiteral("empty"));
    QVERIFY(QDir().mkpath(dir));
    const QString path = dir + QStringLiteral("/velm.db");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    QProcess velm;
    velm.start(QStringLiteral(VELM_BINARY), velmArguments(dir));
    QVERIFY(velm.waitForStarted());
    QElapsedTimer timer;
    timer.start();
    while (ownKeyPairs(path) < 1 && velm.state() == QProcess::Running && timer.elapsed() < StartLimitMs)
        QTest::qWait(50);
    QVERIFY2(velm.state() == QProcess::Running, velm.readAllStandardError().constData());
    QCOMPARE(ownKeyPairs(path), 1);
    velm.kill();
    velm.waitForFinished();
}

// A port held by another socket: said on stderr at once, with the port.
void TestStartupChecks::takenPort()
{
    QTcpServer holder;
    QVERIFY(holder.listen(QHostAddress::Any, 0));
    const quint16 port = holder.serverPort();
    const QString dir = m_work.filePath(QStringLiteral("port"));
    writeConfig(dir, true);
    QProcess velm;
    velm.start(QStringLiteral(VELM_BINARY),
               velmArguments(dir, {QStringLiteral("--com-listen-port=%1").arg(port)}));
    QVERIFY(velm.waitForStarted());
    QString said;
    const QString expected = QStringLiteral("cannot listen on TCP port %1").arg(port);
    QElapsedTimer timer;
    timer.start();
    while (!said.contains(expected) && velm.state() == QProcess::Running && timer.elapsed() < StartLimitMs) {
        velm.waitForReadyRead(200);
        said += QString::fromLocal8Bit(velm.readAllStandardError());
    }
    velm.kill();
    velm.waitForFinished();
    QVERIFY2(said.contains(expected), qPrintable(said));
}

void TestStartupChecks::unusablePortOption_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("not a number") << "abc";
    QTest::newRow("0") << "0";
    QTest::newRow("65535") << "65535";
    QTest::newRow("negative") << "-5";
    QTest::newRow("empty") << "";
}

// Reported before the default port is used.
void TestStartupChecks::unusablePortOption()
{
    QFETCH(QString, value);
    const QString dir = m_work.filePath(QStringLiteral("option-") + QString::number(qHash(value)));
    QProcess velm;
    velm.start(QStringLiteral(VELM_BINARY), velmArguments(dir, {QStringLiteral("--com-listen-port=") + value}));
    QVERIFY(velm.waitForStarted());
    QString said;
    QElapsedTimer timer;
    timer.start();
    while (!said.contains(QStringLiteral("is not a port number")) && velm.state() == QProcess::Running
           && timer.elapsed() < StartLimitMs) {
        velm.waitForReadyRead(200);
        said += QString::fromLocal8Bit(velm.readAllStandardError());
    }
    velm.kill();
    velm.waitForFinished();
    QVERIFY2(said.contains(QStringLiteral("--com-listen-port=%1 is not a port number from 1 to 65534").arg(value)),
             qPrintable(said));
}

void TestStartupChecks::quitSignals_data()
{
    QTest::addColumn<int>("quitSignal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

// SIGHUP and SIGPIPE leave the program running; SIGTERM and SIGINT end it
// as closing its window does: the window's state is stored, exit code 0.
void TestStartupChecks::quitSignals()
{
    QFETCH(int, quitSignal);
    const QString dir = m_work.filePath(QStringLiteral("signal-%1").arg(quitSignal));
    const QString home = m_work.filePath(QStringLiteral("signal-home-%1").arg(quitSignal));
    QVERIFY(QDir().mkpath(home));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/.local/share"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home + QStringLiteral("/.cache"));
    // The program's whole run is checked, its leaks too: with full stacks,
    // which the leak suppressions of Qt's own caches need.
    if (env.contains(QStringLiteral("ASAN_OPTIONS")))
        env.insert(QStringLiteral("ASAN_OPTIONS"),
                   QStringLiteral("fast_unwind_on_malloc=0:") + env.value(QStringLiteral("ASAN_OPTIONS")));
    QProcess velm;
    velm.setProcessEnvironment(env);
    velm.start(QStringLiteral(VELM_BINARY), velmArguments(dir));
    QVERIFY(velm.waitForStarted());
    // Up: the identity is made once the window shows.
    QElapsedTimer timer;
    timer.start();
    while (ownKeyPairs(dir + QStringLiteral("/velm.db")) < 1 && velm.state() == QProcess::Running
           && timer.elapsed() < StartLimitMs)
        QTest::qWait(50);
    QVERIFY2(velm.state() == QProcess::Running, velm.readAllStandardError().constData());
    {
        QSettings before(dir + QStringLiteral("/config.ini"), QSettings::IniFormat);
        QVERIFY(!before.contains(QStringLiteral("geometry")));
    }

    // Ones the program lives through: had either its default action, the
    // exit below would be a crash exit.
    for (int sig : { SIGHUP, SIGPIPE })
        QCOMPARE(::kill(pid_t(velm.processId()), sig), 0);
    QCOMPARE(::kill(pid_t(velm.processId()), quitSignal), 0);
    const bool ended = velm.waitForFinished(StartLimitMs);
    if (!ended)
        velm.kill();
    const QByteArray said = velm.readAllStandardError();
    QVERIFY2(ended, said.constData());
    QCOMPARE(velm.exitStatus(), QProcess::NormalExit);
    QVERIFY2(velm.exitCode() == 0, said.constData());

    QSettings after(dir + QStringLiteral("/config.ini"), QSettings::IniFormat);
    for (const char* key : { "geometry", "windowState", "splitterState", "rhs" })
        QVERIFY2(after.contains(QLatin1String(key)), key);
    QVERIFY(!after.value(QStringLiteral("geometry")).toByteArray().isEmpty());
}

// The about box's licences button leads to the "licenses" folder beside the
// program: one text for Velm and one for each library it links, each naming
// its licence and where the full text is.
void TestStartupChecks::licensesBesideProgram()
{
    const QDir dir(QFileInfo(QStringLiteral(VELM_BINARY)).absolutePath() + QStringLiteral("/licenses"));
    QVERIFY2(dir.exists(), qPrintable(dir.path()));
    const QList<QPair<const char*, const char*>> expected = {
        { "velm.txt", "Velm" },          { "qt.txt", "LGPL-3" },     { "libsodium.txt", "ISC" },
        { "kcp.txt", "MIT" },            { "libexif.txt", "LGPL-2.1" }, { "openssl.txt", "Apache" },
        { "glib.txt", "LGPL-2.1" },      { "README.txt", "velm.txt" },
    };
    for (const auto& file : expected) {
        QFile text(dir.filePath(QLatin1String(file.first)));
        QVERIFY2(text.open(QIODevice::ReadOnly), file.first);
        const QString contents = QString::fromUtf8(text.readAll());
        QVERIFY2(contents.contains(QLatin1String(file.second)), file.first);
    }
    // Where a licence's full text is said to be kept, it is named as Debian names it.
    for (const QString& name : dir.entryList({ QStringLiteral("*.txt") }, QDir::Files)) {
        QFile text(dir.filePath(name));
        QVERIFY(text.open(QIODevice::ReadOnly));
        const QString contents = QString::fromUtf8(text.readAll());
        const QRegularExpression common(QStringLiteral("/usr/share/common-licenses/([A-Za-z0-9.-]+)"));
        for (auto it = common.globalMatch(contents); it.hasNext();) {
            const QString licence = it.next().captured(1);
            static const QStringList known = { "LGPL-2.1", "LGPL-3", "GPL-3", "Apache-2.0" };
            QVERIFY2(known.contains(licence), qPrintable(name + ": " + licence));
        }
    }
}

QTEST_GUILESS_MAIN(TestStartupChecks)
#include "tst_startupchecks.moc"
