#include "vfs/server/vfsfileoperations.h"
#include "vfs/server/vfsfiletimes.h"
#include "vfs/server/vfsopenfiletable.h"
#include "vfs/server/vfsdesktoptrash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::shared_ptr<VfsOpenFile> noFile()
{
    return std::make_shared<VfsOpenFile>(-1, QByteArray(), true, false);
}

bool put(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray get(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// The pieces under the file-system server: the open-file table, file times,
// the careful file operations and the desktop trash.
class TestVfsServerParts : public QObject
{
    Q_OBJECT
private slots:
    void handleNumbersWrapAndSkipOpenOnes();
    void tableRefusesThe257th();
    void idleCloseSkipsFilesInUse();
    void closeWaitsForTheLastUser();
    void fileTimesLeaveOutWhatWasNotGiven();
    void removeTreeNeverFollowsLinks();
    void renameWithoutReplacing();
    void moveIntoItselfIsRefused();
    void desktopTrash();
};

void TestVfsServerParts::handleNumbersWrapAndSkipOpenOnes()
{
    VfsOpenFileTable table;
    const auto first = noFile();
    QCOMPARE(table.add(first), quint16(1));
    QCOMPARE(table.add(noFile()), quint16(2));
    QVERIFY(table.close(2, false));
    // Count up to the top; 1 stays open all the while.
    for (int expected = 3; expected <= 65535; ++expected) {
        const quint16 handle = table.add(noFile());
        QCOMPARE(int(handle), expected);
        QVERIFY(table.close(handle, false));
    }
    // After 65535 comes 1 again, which is still open: 2 is next.
    QCOMPARE(table.add(noFile()), quint16(2));
    QCOMPARE(table.find(1), first);
    QVERIFY(!table.find(0));
    QVERIFY(!table.find(3));
}

void TestVfsServerParts::tableRefusesThe257th()
{
    VfsOpenFileTable table;
    for (int i = 0; i < VfsOpenFileTable::MaxOpenFiles; ++i)
        QVERIFY(table.add(noFile()) != 0);
    QVERIFY(table.isFull());
    QCOMPARE(table.add(noFile()), quint16(0));
    QCOMPARE(table.count(), 256);
    table.closeAll();
    QCOMPARE(table.count(), 0);
}

void TestVfsServerParts::idleCloseSkipsFilesInUse()
{
    VfsOpenFileTable table;
    const auto busy = noFile();
    const auto idle = noFile();
    table.add(busy);
    table.add(idle);
    busy->mutex().lock(); // a worker is reading it
    QCOMPARE(table.closeIdle(0), idle->handle());
    QVERIFY(!idle->isOpen());
    QCOMPARE(table.closeIdle(0), quint16(0));
    busy->mutex().unlock();
    QCOMPARE(table.closeIdle(0), busy->handle());
    QCOMPARE(table.count(), 0);

    // Not idle long enough.
    const auto fresh = noFile();
    table.add(fresh);
    QCOMPARE(table.closeIdle(3600 * 1000), quint16(0));
    QVERIFY(fresh->isOpen());
}

void TestVfsServerParts::closeWaitsForTheLastUser()
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.path() + "/f");
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT, 0644);
    QVERIFY(fd >= 0);
    VfsOpenFileTable table;
    auto file = std::make_shared<VfsOpenFile>(fd, path, true, true);
    file->keepTimes(0, 0, 1234567890000LL);
    const quint16 handle = table.add(file);
    std::shared_ptr<VfsOpenFile> worker = table.find(handle); // a worker still holds it
    file.reset();
    QVERIFY(table.close(handle, true));
    QVERIFY(!worker->isOpen());
    QVERIFY(!table.find(handle));
    // The descriptor is still good for the worker that holds it ...
    QCOMPARE(::write(worker->fd(), "abc", 3), ssize_t(3));
    struct stat st;
    QCOMPARE(::stat(path.constData(), &st), 0);
    QVERIFY(st.st_mtim.tv_sec != 1234567890);
    // ... and the time is set after its last write, when it lets go.
    worker.reset();
    QCOMPARE(::stat(path.constData(), &st), 0);
    QCOMPARE(qint64(st.st_mtim.tv_sec), qint64(1234567890));
    QCOMPARE(qint64(st.st_size), qint64(3));
}

void TestVfsServerParts::fileTimesLeaveOutWhatWasNotGiven()
{
    QTemporaryDir dir;
    const QByteArray path = QFile::encodeName(dir.path() + "/f");
    QVERIFY(put(QFile::decodeName(path), "x"));
    const timespec earlier[2] = { { 900000000, 0 }, { 900000000, 0 } };
    QCOMPARE(::utimensat(AT_FDCWD, path.constData(), earlier, 0), 0);
    struct stat st;

    QVERIFY(VfsFileTimes::apply(path, 0, 1234567890123LL));
    QCOMPARE(::stat(path.constData(), &st), 0);
    QCOMPARE(qint64(st.st_atim.tv_sec), qint64(900000000));
    QCOMPARE(qint64(st.st_mtim.tv_sec), qint64(1234567890));
    QCOMPARE(qint64(st.st_mtim.tv_nsec), qint64(0)); // whole seconds

    QVERIFY(VfsFileTimes::apply(path, 1000000000000LL, -1));
    QCOMPARE(::stat(path.constData(), &st), 0);
    QCOMPARE(qint64(st.st_atim.tv_sec), qint64(1000000000));
    QCOMPARE(qint64(st.st_mtim.tv_sec), qint64(1234567890));

    QVERIFY(!VfsFileTimes::apply(path, 0, 0));
    QVERIFY(!VfsFileTimes::apply(QFile::encodeName(dir.path() + "/none"), 0, 1000));
}

void TestVfsServerParts::removeTreeNeverFollowsLinks()
{
    QTemporaryDir dir;
    const QString root = dir.path();
    QVERIFY(QDir().mkpath(root + "/tree/sub"));
    QVERIFY(QDir().mkpath(root + "/elsewhere"));
    QVERIFY(put(root + "/tree/sub/f", "f"));
    QVERIFY(put(root + "/elsewhere/keep", "keep"));
    QCOMPARE(::symlink(QFile::encodeName(root + "/elsewhere").constData(),
                       QFile::encodeName(root + "/tree/sub/link").constData()),
             0);
    QCOMPARE(::symlink(QFile::encodeName(root + "/elsewhere").constData(),
                       QFile::encodeName(root + "/top-link").constData()),
             0);

    QVERIFY(VfsFileOperations::removeTree(QFile::encodeName(root + "/tree")));
    QVERIFY(!QFileInfo::exists(root + "/tree"));
    QVERIFY(QFileInfo::exists(root + "/elsewhere/keep"));

    QVERIFY(VfsFileOperations::removeTree(QFile::encodeName(root + "/top-link")));
    QVERIFY(!QFileInfo(root + "/top-link").isSymLink());
    QVERIFY(QFileInfo::exists(root + "/elsewhere/keep"));

    QVERIFY(!VfsFileOperations::removeTree(QFile::encodeName(root + "/none")));
}

void TestVfsServerParts::renameWithoutReplacing()
{
    QTemporaryDir dir;
    const QString root = dir.path();
    QVERIFY(put(root + "/a", "a"));
    QVERIFY(put(root + "/b", "b"));
    const QByteArray a = QFile::encodeName(root + "/a");
    const QByteArray b = QFile::encodeName(root + "/b");
    QCOMPARE(VfsFileOperations::rename(a, b, true), VfsFileOperations::Exists);
    QFile fa(root + "/a");
    QVERIFY(fa.open(QIODevice::ReadOnly));
    QCOMPARE(fa.readAll(), QByteArray("a"));
    QCOMPARE(VfsFileOperations::rename(a, b, false), VfsFileOperations::Done);
    QVERIFY(!QFileInfo::exists(root + "/a"));
    QCOMPARE(VfsFileOperations::rename(b, QFile::encodeName(root + "/c"), true),
             VfsFileOperations::Done);
    QCOMPARE(VfsFileOperations::rename(b, QFile::encodeName(root + "/d"), false),
             VfsFileOperations::Failed);
}

void TestVfsServerParts::moveIntoItselfIsRefused()
{
    // Only a mount point inside the source leads a move between file systems
    // into the source itself; the copy would then copy itself.
    QTemporaryDir dir;
    const QString root = dir.path();
    QVERIFY(QDir().mkpath(root + "/source/sub"));
    QVERIFY(put(root + "/source/sub/f", "f"));
    errno = 0;
    QCOMPARE(VfsFileOperations::moveAcrossDevices(QFile::encodeName(root + "/source"),
                                                  QFile::encodeName(root + "/source/sub/moved"),
                                                  false),
             VfsFileOperations::Failed);
    QCOMPARE(errno, EINVAL);
    QCOMPARE(QDir(root + "/source/sub").entryList(QDir::AllEntries | QDir::Hidden
                                                  | QDir::NoDotAndDotDot),
             QStringList{ "f" });
}

// The user's trash on the same file system: each entry moves into files/
// under a free name, with an info file that says where it was; a link goes
// as itself; a missing name is reported missing.
void TestVfsServerParts::desktopTrash()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = QFileInfo(dir.path()).canonicalFilePath();
    const QByteArray savedDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(root + "/data"));
    QCOMPARE(QString::fromStdString(VfsDesktopTrash::homeTrashPath()), root + "/data/Trash");

    QVERIFY(QDir().mkpath(root + "/place/one"));
    QVERIFY(QDir().mkpath(root + "/place/two"));
    QVERIFY(put(root + "/place/one/same name", "first"));
    QVERIFY(put(root + "/place/two/same name", "second"));
    QVERIFY(put(root + "/target", "target"));
    QCOMPARE(::symlink(QFile::encodeName(root + "/target").constData(),
                       QFile::encodeName(root + "/place/link").constData()), 0);

    VfsDesktopTrash trash;
    auto trashOne = [&](const QString& folder, const char* name) {
        const int fd = ::open(QFile::encodeName(folder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const VfsTrash::Result result = trash.moveToTrash(
            fd, name, QFile::encodeName(folder + QLatin1Char('/') + QString::fromUtf8(name)).constData());
        ::close(fd);
        return result;
    };
    QCOMPARE(trashOne(root + "/place", "none"), VfsTrash::NotFound);
    QCOMPARE(trashOne(root + "/place/one", "same name"), VfsTrash::Trashed);
    QCOMPARE(trashOne(root + "/place/two", "same name"), VfsTrash::Trashed);
    QCOMPARE(trashOne(root + "/place", "link"), VfsTrash::Trashed);
    QCOMPARE(trashOne(root + "/place", ".."), VfsTrash::Failed);

    const QString files = root + "/data/Trash/files/";
    const QString info = root + "/data/Trash/info/";
    QVERIFY(!QFileInfo::exists(root + "/place/one/same name"));
    QVERIFY(!QFileInfo::exists(root + "/place/two/same name"));
    QCOMPARE(get(files + "same name"), QByteArray("first"));
    QCOMPARE(get(files + "same name.2"), QByteArray("second"));
    QVERIFY(QFileInfo(files + "link").isSymLink());
    QCOMPARE(get(root + "/target"), QByteArray("target"));
    const QByteArray record = get(info + "same name.2.trashinfo");
    QVERIFY2(record.startsWith("[Trash Info]\nPath=" + QFile::encodeName(root).replace(' ', "%20")
                               + "/place/two/same%20name\nDeletionDate="),
             record.constData());
    QCOMPARE(QDir(info).entryList(QDir::Files).size(), 3);

    if (savedDataHome.isNull())
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", savedDataHome);
}

QTEST_GUILESS_MAIN(TestVfsServerParts)
#include "tst_vfsserverparts.moc"
