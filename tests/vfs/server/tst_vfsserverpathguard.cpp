#include "vfs/server/vfspathguard.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace {

const QString kShareUuid = QStringLiteral("{11111111-2222-3333-4444-555555555555}");
const QString kReadOnlyUuid = QStringLiteral("{22222222-2222-3333-4444-555555555555}");
const QString kLinkShareUuid = QStringLiteral("{33333333-2222-3333-4444-555555555555}");
const QString kFileShareUuid = QStringLiteral("{44444444-2222-3333-4444-555555555555}");
const QString kStarUuid = QStringLiteral("{55555555-2222-3333-4444-555555555555}");

PeerAclDto share(const QString& uuid, const QString& selector, quint32 flags)
{
    PeerAclDto dto;
    dto.uuid = uuid;
    dto.name = QStringLiteral("share ") + uuid.mid(1, 4);
    dto.selector = selector;
    dto.flags = flags;
    return dto;
}

} // namespace

// A tree in a temporary directory T:
//   T/S                  share, read+write (given with a trailing separator)
//   T/S/sub/f.txt
//   T/S/ro/r.txt         nested share, read only
//   T/S/lnk-out       -> T/out            (absolute link out of the share)
//   T/S/lnk-rel-out   -> ../out           (relative link out)
//   T/S/lnk-in        -> sub
//   T/S/lnk-ro        -> ro               (into the read-only share)
//   T/S/lnk-up        -> ..
//   T/S/dangling-out  -> T/out/new        (missing target outside)
//   T/S/dangling-in   -> T/S/new          (missing target inside)
//   T/S/dangling-dots -> missing/../../out
//   T/S/loop1 -> loop2, T/S/loop2 -> loop1
//   T/Sx/f               outside, name shares a prefix with S
//   T/out/secret         outside
//   T/Slink           -> T/S              share whose selector is a link
//   T/single.txt         share of one file, read only
class TestVfsServerPathGuard : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void normalise_data();
    void normalise();
    void containsByWholeComponents_data();
    void containsByWholeComponents();
    void findShare_data();
    void findShare();

    void restrictedPeer_data();
    void restrictedPeer();
    void ownMachine_data();
    void ownMachine();
    void sharesRootOnlyWhereAccepted();
    void shareWhoseFolderIsGoneAdmitsNothing();
    void holdsShareFolder_data();
    void holdsShareFolder();

private:
    QByteArray t(const char* relative) const { return m_root + relative; }
    VfsPathGuard restrictedGuard() const { return VfsPathGuard(VfsPathGuard::Restricted, m_shares); }

    QTemporaryDir m_dir;
    QByteArray m_root;
    std::vector<PeerAclDto> m_shares;
};

void TestVfsServerPathGuard::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // The temporary directory itself may lie behind a link (/tmp on some systems).
    m_root = QFile::encodeName(QFileInfo(m_dir.path()).canonicalFilePath());
    QDir root(QFile::decodeName(m_root));
    QVERIFY(root.mkpath("S/sub"));
    QVERIFY(root.mkpath("S/ro"));
    QVERIFY(root.mkpath("Sx"));
    QVERIFY(root.mkpath("out"));
    for (const char* file : { "/S/sub/f.txt", "/S/ro/r.txt", "/Sx/f", "/out/secret", "/single.txt" }) {
        QFile f(QFile::decodeName(t(file)));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("x");
    }
    struct Link { const char* target; const char* name; bool absolute; };
    const Link links[] = {
        { "/out", "/S/lnk-out", true },
        { "../out", "/S/lnk-rel-out", false },
        { "sub", "/S/lnk-in", false },
        { "ro", "/S/lnk-ro", false },
        { "..", "/S/lnk-up", false },
        { "/out/new", "/S/dangling-out", true },
        { "/S/new", "/S/dangling-in", true },
        { "missing/../../out", "/S/dangling-dots", false },
        { "loop2", "/S/loop1", false },
        { "loop1", "/S/loop2", false },
        { "/S", "/Slink", true },
    };
    for (const Link& link : links) {
        const QByteArray target = link.absolute ? t(link.target) : QByteArray(link.target);
        QVERIFY2(::symlink(target.constData(), t(link.name).constData()) == 0, link.name);
    }

    m_shares.push_back(share(kShareUuid, QFile::decodeName(t("/S/")),
                             VfsPathGuard::ShareRead | VfsPathGuard::ShareWrite
                                 | VfsPathGuard::ShareDirectory));
    m_shares.push_back(share(kReadOnlyUuid, QFile::decodeName(t("/S/ro")),
                             VfsPathGuard::ShareRead | VfsPathGuard::ShareDirectory));
    m_shares.push_back(share(kLinkShareUuid, QFile::decodeName(t("/Slink")),
                             VfsPathGuard::ShareRead | VfsPathGuard::ShareWrite
                                 | VfsPathGuard::ShareDirectory));
    m_shares.push_back(share(kFileShareUuid, QFile::decodeName(t("/single.txt")),
                             VfsPathGuard::ShareRead));
    m_shares.push_back(share(kStarUuid, QStringLiteral("*"),
                             VfsPathGuard::ShareRead | VfsPathGuard::ShareDirectory));
}

void TestVfsServerPathGuard::normalise_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("plain") << QByteArray("/a/b") << true << QByteArray("/a/b");
    QTest::newRow("root") << QByteArray("/") << true << QByteArray("/");
    QTest::newRow("double separators") << QByteArray("//a//b///") << true << QByteArray("/a/b");
    QTest::newRow("trailing separator") << QByteArray("/a/") << true << QByteArray("/a");
    QTest::newRow("dot components") << QByteArray("/./a/./b/.") << true << QByteArray("/a/b");
    QTest::newRow("dot dot") << QByteArray("/a/../b") << false << QByteArray();
    QTest::newRow("dot dot at end") << QByteArray("/a/..") << false << QByteArray();
    QTest::newRow("dots in a name") << QByteArray("/a/..b/c..") << true << QByteArray("/a/..b/c..");
    QTest::newRow("relative") << QByteArray("a/b") << false << QByteArray();
    QTest::newRow("empty") << QByteArray() << false << QByteArray();
}

void TestVfsServerPathGuard::normalise()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, ok);
    QFETCH(QByteArray, expected);
    QByteArray out;
    QCOMPARE(VfsPathGuard::normalise(path, &out), ok);
    if (ok)
        QCOMPARE(out, expected);
}

void TestVfsServerPathGuard::containsByWholeComponents_data()
{
    QTest::addColumn<QByteArray>("folder");
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("contained");

    QTest::newRow("itself") << QByteArray("/a") << QByteArray("/a") << true;
    QTest::newRow("child") << QByteArray("/a") << QByteArray("/a/b") << true;
    QTest::newRow("text prefix only") << QByteArray("/a") << QByteArray("/ab") << false;
    QTest::newRow("text prefix deeper") << QByteArray("/a/b") << QByteArray("/a/bc/d") << false;
    QTest::newRow("parent") << QByteArray("/a/b") << QByteArray("/a") << false;
    QTest::newRow("root holds all") << QByteArray("/") << QByteArray("/x/y") << true;
    QTest::newRow("empty folder") << QByteArray() << QByteArray("/x") << false;
}

void TestVfsServerPathGuard::containsByWholeComponents()
{
    QFETCH(QByteArray, folder);
    QFETCH(QByteArray, path);
    QFETCH(bool, contained);
    QCOMPARE(VfsPathGuard::contains(folder, path), contained);
}

void TestVfsServerPathGuard::findShare_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("exactOnly");
    QTest::addColumn<int>("expected");

    // Shares: 0 "/a" directory, 1 "/a/b" directory, 2 "/c" not a directory,
    // 3 "/a/b" again (the first exact one wins), 4 "*".
    QTest::newRow("exact") << QByteArray("/a") << true << 0;
    QTest::newRow("inside") << QByteArray("/a/x") << false << 0;
    QTest::newRow("longest wins") << QByteArray("/a/b/x") << false << 1;
    QTest::newRow("exact first in list") << QByteArray("/a/b") << false << 1;
    QTest::newRow("text prefix is no match") << QByteArray("/ab") << false << -1;
    QTest::newRow("inside but exact only") << QByteArray("/a/x") << true << -1;
    QTest::newRow("file share exact") << QByteArray("/c") << false << 2;
    QTest::newRow("below a file share") << QByteArray("/c/x") << false << -1;
    QTest::newRow("star matches nothing") << QByteArray("*") << false << -1;
    QTest::newRow("empty") << QByteArray() << false << -1;
}

void TestVfsServerPathGuard::findShare()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, exactOnly);
    QFETCH(int, expected);
    const quint32 dir = VfsPathGuard::ShareRead | VfsPathGuard::ShareDirectory;
    const std::vector<PeerAclDto> shares = {
        share(kShareUuid, "/a", dir),
        share(kReadOnlyUuid, "/a/b/", dir),
        share(kLinkShareUuid, "/c", VfsPathGuard::ShareRead),
        share(kFileShareUuid, "/a/b", dir),
        share(kStarUuid, "*", dir),
    };
    QCOMPARE(VfsPathGuard::findShare(shares, path, exactOnly), expected);
}

void TestVfsServerPathGuard::restrictedPeer_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<quint32>("options");
    QTest::addColumn<bool>("allowed");
    QTest::addColumn<QByteArray>("resolved"); // below T; checked when allowed

    const quint32 r = VfsPathGuard::NeedRead | VfsPathGuard::FollowLastLink;
    const quint32 w = VfsPathGuard::NeedWrite | VfsPathGuard::FollowLastLink;
    const quint32 wLink = VfsPathGuard::NeedWrite; // acts on a link itself
    const QByteArray shares = "%shares/" + kShareUuid.toUtf8();

    // Outside and lookalikes.
    QTest::newRow("/etc") << QByteArray("/etc") << r << false << QByteArray();
    QTest::newRow("root") << QByteArray("/") << r << false << QByteArray();
    QTest::newRow("parent of the share") << t("") << r << false << QByteArray();
    QTest::newRow("S/../out") << t("/S/../out/secret") << r << false << QByteArray();
    QTest::newRow("S/sub/../../out") << t("/S/sub/../../out") << r << false << QByteArray();
    QTest::newRow("Sx is not inside S") << t("/Sx/f") << r << false << QByteArray();
    QTest::newRow("relative") << QByteArray("S/sub/f.txt") << r << false << QByteArray();
    QTest::newRow("empty") << QByteArray() << r << false << QByteArray();
    QTest::newRow("NUL inside") << t("/S/sub/f.txt") + QByteArray("\0/x", 3) << r << false
                                << QByteArray();
    QTest::newRow("invalid UTF-8") << t("/S/\xff\xfe") << w << false << QByteArray();
    QTest::newRow("overlong UTF-8 slash") << t("/S/\xc0\xaf") << w << false << QByteArray();

    // Inside, spelled in various ways.
    QTest::newRow("file") << t("/S/sub/f.txt") << r << true << QByteArray("/S/sub/f.txt");
    QTest::newRow("share itself") << t("/S") << r << true << QByteArray("/S");
    QTest::newRow("double separators") << t("/S//sub///f.txt") << r << true
                                       << QByteArray("/S/sub/f.txt");
    QTest::newRow("dot components") << t("/S/./sub/.") << r << true << QByteArray("/S/sub");
    QTest::newRow("new file") << t("/S/sub/new.txt") << w << true << QByteArray("/S/sub/new.txt");
    QTest::newRow("new nested directories") << t("/S/n1/n2/n3") << w << true
                                            << QByteArray("/S/n1/n2/n3");

    // "%shares" paths.
    QTest::newRow("%shares file") << shares + "/sub/f.txt" << r << true
                                  << QByteArray("/S/sub/f.txt");
    QTest::newRow("%shares share root") << shares << r << true << QByteArray("/S");
    QTest::newRow("%shares dot dot") << shares + "/.." << r << false << QByteArray();
    QTest::newRow("%shares dot dot deeper") << shares + "/sub/../../out" << r << false
                                            << QByteArray();
    QTest::newRow("%shares unknown uuid") << QByteArray("%shares/{99999999-2222-3333-4444-555555555555}/x")
                                          << r << false << QByteArray();
    QTest::newRow("%shares empty uuid") << QByteArray("%shares//x") << r << false << QByteArray();
    QTest::newRow("%shares star share") << "%shares/" + kStarUuid.toUtf8() + "/etc" << r
                                        << false << QByteArray();
    QTest::newRow("%sharesfoo") << QByteArray("%sharesfoo/x") << r << false << QByteArray();
    QTest::newRow("%shares file share below")
        << "%shares/" + kFileShareUuid.toUtf8() + "/x" << r << false << QByteArray();

    // Symbolic links.
    QTest::newRow("through absolute link out") << t("/S/lnk-out/secret") << r << false
                                               << QByteArray();
    QTest::newRow("through relative link out") << t("/S/lnk-rel-out/secret") << r << false
                                               << QByteArray();
    QTest::newRow("link out followed") << t("/S/lnk-out") << r << false << QByteArray();
    QTest::newRow("link out itself") << t("/S/lnk-out") << wLink << true
                                     << QByteArray("/S/lnk-out");
    QTest::newRow("new file behind link out") << t("/S/lnk-out/new") << w << false << QByteArray();
    QTest::newRow("link up and out") << t("/S/lnk-up/out/secret") << r << false << QByteArray();
    QTest::newRow("link up onto the share") << t("/S/lnk-up/S/sub") << r << true
                                            << QByteArray("/S/sub");
    QTest::newRow("link inside") << t("/S/lnk-in/f.txt") << r << true
                                 << QByteArray("/S/sub/f.txt");
    QTest::newRow("dangling link out") << t("/S/dangling-out") << w << false << QByteArray();
    QTest::newRow("dangling link out itself") << t("/S/dangling-out") << wLink << true
                                              << QByteArray("/S/dangling-out");
    QTest::newRow("dangling link in") << t("/S/dangling-in") << w << true << QByteArray("/S/new");
    QTest::newRow("dangling link with dot dot") << t("/S/dangling-dots") << w << false
                                                << QByteArray();
    QTest::newRow("link loop") << t("/S/loop1") << r << false << QByteArray();
    QTest::newRow("link loop below") << t("/S/loop1/x") << r << false << QByteArray();
    QTest::newRow("share through link selector") << t("/Slink/sub/f.txt") << w << true
                                                 << QByteArray("/S/sub/f.txt");

    // Rights.
    QTest::newRow("read-only share read") << t("/S/ro/r.txt") << r << true
                                          << QByteArray("/S/ro/r.txt");
    QTest::newRow("read-only share write") << t("/S/ro/r.txt") << w << false << QByteArray();
    QTest::newRow("read-only share reached by link") << t("/S/lnk-ro/r.txt") << w << false
                                                     << QByteArray();
    QTest::newRow("file share read") << t("/single.txt") << r << true << QByteArray("/single.txt");
    QTest::newRow("file share write") << t("/single.txt") << w << false << QByteArray();
    QTest::newRow("below a file share") << t("/single.txt/x") << r << false << QByteArray();
}

void TestVfsServerPathGuard::restrictedPeer()
{
    QFETCH(QByteArray, path);
    QFETCH(quint32, options);
    QFETCH(bool, allowed);
    QFETCH(QByteArray, resolved);

    const VfsPathGuard::Decision decision = restrictedGuard().check(path, options);
    QCOMPARE(decision.verdict, allowed ? VfsPathGuard::Allowed : VfsPathGuard::NotPermitted);
    if (allowed) {
        QCOMPARE(decision.nativePath, t(resolved.constData()));
        QCOMPARE(decision.path, QFile::decodeName(t(resolved.constData())));
        QVERIFY(decision.share >= 0);
        QVERIFY(!decision.sharesRoot);
    }
}

void TestVfsServerPathGuard::ownMachine_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<int>("verdict");
    QTest::addColumn<QByteArray>("local");

    QTest::newRow("anywhere") << QByteArray("/etc/hosts") << int(VfsPathGuard::Allowed)
                              << QByteArray("/etc/hosts");
    QTest::newRow("normalised") << QByteArray("//etc/./hosts/") << int(VfsPathGuard::Allowed)
                                << QByteArray("/etc/hosts");
    QTest::newRow("dot dot") << QByteArray("/S/../etc") << int(VfsPathGuard::NotPermitted)
                             << QByteArray();
    QTest::newRow("empty") << QByteArray() << int(VfsPathGuard::Malformed) << QByteArray();
    QTest::newRow("relative") << QByteArray("etc") << int(VfsPathGuard::Malformed) << QByteArray();
    QTest::newRow("NUL") << QByteArray("/etc\0/x", 7) << int(VfsPathGuard::Malformed)
                         << QByteArray();
}

void TestVfsServerPathGuard::ownMachine()
{
    QFETCH(QByteArray, path);
    QFETCH(int, verdict);
    QFETCH(QByteArray, local);
    const VfsPathGuard guard(VfsPathGuard::Unrestricted, {});
    const VfsPathGuard::Decision decision =
        guard.check(path, VfsPathGuard::NeedWrite | VfsPathGuard::FollowLastLink);
    QCOMPARE(int(decision.verdict), verdict);
    if (decision.allowed())
        QCOMPARE(decision.nativePath, local);
}

void TestVfsServerPathGuard::sharesRootOnlyWhereAccepted()
{
    const VfsPathGuard guard = restrictedGuard();
    QVERIFY(!guard.check(QByteArray("%shares"), VfsPathGuard::NeedRead).allowed());
    const VfsPathGuard::Decision root =
        guard.check(QByteArray("%shares"), VfsPathGuard::AcceptSharesRoot);
    QVERIFY(root.allowed());
    QVERIFY(root.sharesRoot);
    QVERIFY(root.nativePath.isEmpty());
    QVERIFY(!guard.check(QByteArray("%shares/"), VfsPathGuard::AcceptSharesRoot).allowed());
}

void TestVfsServerPathGuard::shareWhoseFolderIsGoneAdmitsNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString gone = dir.path() + "/gone";
    const std::vector<PeerAclDto> shares = {
        share(kShareUuid, gone, VfsPathGuard::ShareRead | VfsPathGuard::ShareWrite
                                    | VfsPathGuard::ShareDirectory),
    };
    const VfsPathGuard guard(VfsPathGuard::Restricted, shares);
    QVERIFY(!guard.check(gone + "/x", VfsPathGuard::NeedWrite).allowed());
    QVERIFY(!guard.check(gone, VfsPathGuard::NeedWrite).allowed());
}

void TestVfsServerPathGuard::holdsShareFolder_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<bool>("holds");

    QTest::newRow("share folder") << t("/S") << true;
    QTest::newRow("share folder, trailing separators") << t("/S//") << true;
    QTest::newRow("parent of a share") << t("") << true;
    QTest::newRow("nested share") << t("/S/ro") << true;
    QTest::newRow("link selector") << t("/Slink") << true;
    QTest::newRow("shared file") << t("/single.txt") << true;
    QTest::newRow("plain directory") << t("/S/sub") << false;
    QTest::newRow("link leading up") << t("/S/lnk-up") << false; // the link itself goes
    QTest::newRow("outside") << t("/out") << false;
}

void TestVfsServerPathGuard::holdsShareFolder()
{
    QFETCH(QByteArray, path);
    QFETCH(bool, holds);
    QCOMPARE(restrictedGuard().holdsShareFolder(QFile::decodeName(path)), holds);
    QVERIFY(!VfsPathGuard(VfsPathGuard::Unrestricted, m_shares)
                 .holdsShareFolder(QFile::decodeName(path)));
}

QTEST_GUILESS_MAIN(TestVfsServerPathGuard)
#include "tst_vfsserverpathguard.moc"
