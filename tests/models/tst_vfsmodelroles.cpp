#include "vfsmodeltestutil.h"

#include "models/ithemepixmapprovider.h"
#include "models/preview.h"
#include "models/vfspreviewcache.h"

#include <QAbstractItemModelTester>
#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QPalette>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

namespace {

using F = FakeFileSystem;
using E = VfsMirkListEntry;

constexpr quint16 kAll = E::AccessReadable | E::AccessWritable | E::AccessExecutable;

// Theme pixmaps of one colour; platform pixmaps of local files only at 64.
class FakeTheme : public IThemePixmapProvider
{
public:
    FakeTheme() { install(this); }
    ~FakeTheme() override { install(nullptr); }
    QPixmap requestPixmap(const QString& id, QSize* size, const QSize& requested) override
    {
        QPixmap pixmap(requested.isValid() ? requested : QSize(16, 16));
        pixmap.fill(Qt::red);
        if (size)
            *size = pixmap.size();
        ids << id;
        return pixmap;
    }
    QPixmap platformFilePixmap(const QString& path, int size, bool) override
    {
        platformAsks.fetch_add(1);
        if (size != 64)
            return QPixmap();
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::blue);
        return pixmap;
    }
    QStringList ids;
    std::atomic<int> platformAsks{0};
};

// Images for any file: one per asked size, the first one twice as wide as
// high.
class FakePreview : public Preview
{
public:
    GetImageResult getImage(const GetImageRequest& request) const override
    {
        loads.fetch_add(1);
        GetImageResult result;
        result.path = request.path;
        for (const QSize& bound : request.bounds) {
            result.size = result.size.expandedTo(bound);
            const QSize size = result.images.empty() ? QSize(bound.width(), bound.height() / 2) : bound;
            QImage image(size, QImage::Format_ARGB32);
            image.fill(Qt::green);
            result.images.push_back(image);
        }
        asked = request.bounds;
        return result;
    }
    mutable std::atomic<int> loads{0};
    mutable std::vector<QSize> asked;
};

QModelIndex child(VfsModel* model, const QString& path, int column = 0)
{
    const QModelIndex index = model->indexForPath(path);
    return index.sibling(index.row(), column);
}

// A directory "/d" of a slash peer with a few files, listed.
struct ListedRig : ModelRig
{
    explicit ListedRig(std::vector<E> entries, const QString& uuid = ownPeerUuid())
        : ModelRig(FakeServer, uuid)
    {
        fake->drives = {F::drive("/", "root")};
        fake->dirs["/"].entries = {F::dir("d")};
        fake->dirs["/d"].entries = std::move(entries);
        d = reach("/d");
        ok = d.isValid() && list(d);
    }
    QPersistentModelIndex d;
    bool ok = false;
};

} // namespace

class TestVfsModelRoles : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    // First: the shared icons are made once per process.
    void iconsWithoutTheme();
    void headers();
    void roleNames();
    void rolesOfEntries_data();
    void rolesOfEntries();
    void columns_data();
    void columns();
    void invisibleRoot();
    void textForms();
    void accessColumn();
    void ageColours_data();
    void ageColours();
    void fontsAlignmentHintsAndDropTarget();
    void setDataRenamesAndFlags();

    void previewFlag_data();
    void previewFlag();
    void previewLoadedForShownDirectory();
    void previewOfHiddenDirectoryAskedAgain();
    void previewCacheBoundForTheProcess();
    void iconsOfOwnFilesOnly();
    void consistentForModelTester();
};

void TestVfsModelRoles::initTestCase()
{
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    qRegisterMetaType<QVector<int>>();
    VfsModelFactory::install();
}

void TestVfsModelRoles::headers()
{
    ModelRig rig(ModelRig::FakeServer);
    const QStringList titles{qtTrId("column-name"),     QString(),
                             qtTrId("column-type"),     qtTrId("column-path"),
                             qtTrId("column-size"),     qtTrId("column-access"),
                             qtTrId("column-created"),  qtTrId("column-modified"),
                             qtTrId("column-modified"), qtTrId("column-mime"),
                             qtTrId("column-flags"),    qtTrId("column-reference"),
                             qtTrId("column-hidden")};
    for (int section = 0; section < titles.size(); ++section)
        QCOMPARE(rig.model->headerData(section, Qt::Horizontal).toString(), titles.at(section));
    QVERIFY(!rig.model->headerData(13, Qt::Horizontal).isValid());
    QVERIFY(!rig.model->headerData(0, Qt::Vertical).isValid());
    QCOMPARE(rig.model->headerData(1, Qt::Horizontal, Qt::SizeHintRole).toSize(), QSize(22, -1));
    QVERIFY(!rig.model->headerData(0, Qt::Horizontal, Qt::SizeHintRole).isValid());
}

void TestVfsModelRoles::roleNames()
{
    ModelRig rig(ModelRig::FakeServer);
    const QHash<int, QByteArray> names = rig.model->roleNames();
    QCOMPARE(names.size(), 21);
    const QByteArrayList expected{"name", "access", "path", "pathList", "displayPathList", "size",
                                  "sizeString", "typeString", "type", "origType", "atime", "ctime",
                                  "mtimeString", "mtime", "icon", "mime", "hidden", "flags", "preview",
                                  "info", "childSize"};
    for (int i = 0; i < expected.size(); ++i)
        QCOMPARE(names.value(257 + i), expected.at(i));
    QVERIFY(!names.contains(VfsModel::IdRole));
}

void TestVfsModelRoles::rolesOfEntries_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("value");

    const QString folder = qtTrId("item-type-folder");
    QTest::newRow("root drive name shows its size") << "/" << 257 << QVariant("500.0 GB root");
    QTest::newRow("file name") << "/d/photo.jpg" << 257 << QVariant("photo.jpg");
    QTest::newRow("access") << "/d/photo.jpg" << 258 << QVariant();
    QTest::newRow("path") << "/d/photo.jpg" << 259 << QVariant("/d/photo.jpg");
    QTest::newRow("path list") << "/d/photo.jpg" << 260 << QVariant(QStringList{"/", "d", "photo.jpg"});
    QTest::newRow("share path list by reference") << "%shares/{s1}/in" << 260
                                                  << QVariant(QStringList{"%shares", "{s1}", "in"});
    QTest::newRow("share display path list by name")
        << "%shares/{s1}/in" << 261 << QVariant(QStringList{qtTrId("place-shares"), "Holiday", "in"});
    QTest::newRow("size") << "/d/photo.jpg" << 262 << QVariant::fromValue<quint64>(1234);
    QTest::newRow("size text") << "/d/photo.jpg" << 263 << QVariant("1.2 kB");
    QTest::newRow("size text of a directory") << "/d/sub" << 263 << QVariant(folder);
    QTest::newRow("size text of a drive") << "/" << 263 << QVariant(folder);
    QTest::newRow("type text of a file") << "/d/photo.jpg" << 264 << QVariant("File");
    QTest::newRow("type text of a directory") << "/d/sub" << 264 << QVariant("Directory");
    QTest::newRow("type text of a drive") << "/" << 264 << QVariant("Drive");
    QTest::newRow("type") << "/d/sub" << 265 << QVariant(int(VfsModel::DirectoryType));
    QTest::newRow("original type of a link") << "/d/link" << 266 << QVariant(int(VfsModel::SymlinkType));
    QTest::newRow("icon of a file") << "/d/photo.jpg" << 271 << QVariant("image://theme/file/photo.jpg");
    QTest::newRow("icon of a directory") << "/d/sub" << 271
                                         << QVariant("image://theme/mime/application/x-directory");
    QTest::newRow("icon of a drive") << "/" << 271 << QVariant("image://theme/icon/drive-disk.svg");
    QTest::newRow("mime of a file by its name") << "/d/photo.jpg" << 272 << QVariant("image/jpeg");
    QTest::newRow("mime of a directory") << "/d/sub" << 272 << QVariant("application/x-directory");
    QTest::newRow("hidden") << "/d/.secret" << 273 << QVariant(true);
    QTest::newRow("flags") << "/d/photo.jpg" << 274 << QVariant(0);
    QTest::newRow("info") << "/d/photo.jpg" << 276 << QVariant(uint(kAll));
    QTest::newRow("child size") << "/d" << 277 << QVariant::fromValue<quint64>(1234 + 10 + 7);
    QTest::newRow("file number") << "/d/photo.jpg" << 278 << QVariant::fromValue<quint64>(4242);
}

void TestVfsModelRoles::rolesOfEntries()
{
    QFETCH(QString, path);
    QFETCH(int, role);
    QFETCH(QVariant, value);

    E photo = F::file("photo.jpg", 1234, 1600000000000);
    photo.inode = 4242;
    E hidden = F::file(".secret", 10);
    hidden.type |= E::TypeHidden;
    E link = F::link("link", "/x", E::TypeFile);
    link.size = 7;
    ListedRig rig({photo, F::dir("sub"), hidden, link});
    QVERIFY(rig.ok);
    rig.fake->dirs["%shares"].entries = {F::share("Holiday", "{s1}")};
    rig.fake->dirs["%shares/{s1}"].entries = {F::dir("in")};
    QVERIFY(rig.list(rig.model->indexForPath("%shares")));
    QVERIFY(rig.list(rig.model->indexForPath("%shares/{s1}")));

    const QModelIndex index = rig.model->indexForPath(path);
    QVERIFY(index.isValid());
    const QVariant actual = index.data(role);
    QCOMPARE(actual.isValid(), value.isValid());
    if (value.isValid())
        QCOMPARE(actual, value);
}

void TestVfsModelRoles::columns_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("column");
    QTest::addColumn<QVariant>("value");

    const QDateTime mtime = QDateTime::fromMSecsSinceEpoch(1600000000000);
    QTest::newRow("0 name") << "/d/f.txt" << 0 << QVariant("f.txt");
    QTest::newRow("1 nothing") << "/d/f.txt" << 1 << QVariant();
    QTest::newRow("2 type text") << "/d/f.txt" << 2 << QVariant("File");
    QTest::newRow("3 path") << "/d/f.txt" << 3 << QVariant("/d/f.txt");
    QTest::newRow("3 the stored path of a drive") << "/" << 3 << QVariant("/");
    QTest::newRow("4 size text") << "/d/f.txt" << 4 << QVariant("9 bytes");
    QTest::newRow("4 folder") << "/d/sub" << 4 << QVariant(qtTrId("item-type-folder"));
    QTest::newRow("5 access time") << "/d/f.txt" << 5 << QVariant(QDateTime::fromMSecsSinceEpoch(1500000000000));
    QTest::newRow("6 unknown creation time") << "/d/f.txt" << 6 << QVariant(QDateTime());
    QTest::newRow("7 modification time text")
        << "/d/f.txt" << 7 << QVariant(mtime.toString("MM/dd/yyyy") + "  " + mtime.toString("hh:mm AP"));
    QTest::newRow("8 modification time") << "/d/f.txt" << 8 << QVariant(mtime);
    QTest::newRow("9 mime") << "/d/f.txt" << 9 << QVariant("text/plain");
    QTest::newRow("10 flags") << "/d/f.txt" << 10 << QVariant(0);
    QTest::newRow("11 reference") << "/d/link" << 11 << QVariant("/x");
    QTest::newRow("12 hidden") << "/d/f.txt" << 12 << QVariant(false);
    QTest::newRow("13 mode") << "/d/f.txt" << 13 << QVariant(uint(E::AccessReadable));
}

void TestVfsModelRoles::columns()
{
    QFETCH(QString, path);
    QFETCH(int, column);
    QFETCH(QVariant, value);

    E f = F::entry("f.txt", E::TypeFile, 9, 1600000000000, E::AccessReadable);
    f.accessTime = 1500000000000;
    ListedRig rig({f, F::dir("sub"), F::link("link", "/x", E::TypeFile)});
    QVERIFY(rig.ok);
    const QModelIndex index = child(rig.model, path, column);
    QVERIFY(index.isValid());
    const QVariant actual = index.data();
    QCOMPARE(actual.isValid(), value.isValid());
    if (value.isValid())
        QCOMPARE(actual, value);
    // The edit role holds the name only.
    QCOMPARE(index.data(Qt::EditRole).isValid(), column == 0);
}

void TestVfsModelRoles::invisibleRoot()
{
    ModelRig rig(ModelRig::FakeServer);
    const QModelIndex root;
    QCOMPARE(rig.model->data(root, VfsModel::FlagsRole), QVariant(0));
    QCOMPARE(rig.model->data(root, VfsModel::MimeRole).toString(), QStringLiteral("application/x-directory"));
    QVERIFY(!rig.model->data(root, VfsModel::NameRole).isValid());
    QVERIFY(!rig.model->data(root, Qt::DisplayRole).isValid());
    QVERIFY(!rig.model->flags(root).testFlag(Qt::ItemIsEditable));
    QVERIFY(rig.model->flags(rig.model->index(0, 0)).testFlag(Qt::ItemIsEditable));
    QVERIFY(rig.model->flags(rig.model->index(0, 0)).testFlag(Qt::ItemIsDragEnabled));
}

// Dates with four-digit years and two-digit days, months and hours; sizes in
// powers of 1000 with one decimal.
void TestVfsModelRoles::textForms()
{
    const QDateTime morning(QDate(2021, 3, 4), QTime(7, 5));
    ListedRig rig({F::file("a", 999, morning.toMSecsSinceEpoch()), F::file("b", 1500000),
                   F::file("c", 2000000000)});
    QVERIFY(rig.ok);
    QCOMPARE(child(rig.model, "/d/a").data(VfsModel::MtimeStringRole).toString(),
             QStringLiteral("03/04/2021  07:05 AM"));
    QCOMPARE(child(rig.model, "/d/b").data(VfsModel::MtimeStringRole).toString(), QString());
    QCOMPARE(child(rig.model, "/d/a").data(VfsModel::SizeStringRole).toString(), QStringLiteral("999 bytes"));
    QCOMPARE(child(rig.model, "/d/b").data(VfsModel::SizeStringRole).toString(), QStringLiteral("1.5 MB"));
    QCOMPARE(child(rig.model, "/d/c").data(VfsModel::SizeStringRole).toString(), QStringLiteral("2.0 GB"));
    QCOMPARE(child(rig.model, "/d/a").data(Qt::ToolTipRole).toString(),
             QStringLiteral("a\n%1: 999 bytes").arg(qtTrId("column-size")));
    QCOMPARE(child(rig.model, "/d").data(Qt::ToolTipRole).toString(), QStringLiteral("d"));

    // A change of size and time changes the texts too.
    const QDateTime evening(QDate(2021, 3, 4), QTime(19, 30));
    rig.fake->dirs["/d"].entries = {F::file("a", 1000, evening.toMSecsSinceEpoch()), F::file("b", 1500000),
                                    F::file("c", 2000000000)};
    rig.now += 60000;
    QVERIFY(rig.list(rig.d));
    QCOMPARE(child(rig.model, "/d/a").data(VfsModel::MtimeStringRole).toString(),
             QStringLiteral("03/04/2021  07:30 PM"));
    QCOMPARE(child(rig.model, "/d/a", 4).data().toString(), QStringLiteral("1.0 kB"));
}

// With no icon theme at all, folders and files still get an icon in a
// list: the program's own.
void TestVfsModelRoles::iconsWithoutTheme()
{
    QIcon::setThemeSearchPaths({});
    QIcon::setFallbackSearchPaths({});
    QIcon::setThemeName(QStringLiteral("no-such-theme"));
    QVERIFY(QIcon::fromTheme(QStringLiteral("folder")).isNull());
    FakeTheme theme;
    ListedRig rig({F::dir("sub"), F::file("notes.zzqq", 1)}, QStringLiteral("{1b4e28ba-2fa1-11d2-883f-0016d3cca427}"));
    QVERIFY(rig.ok);
    for (const char* path : { "/d/sub", "/d/notes.zzqq" }) {
        const QIcon icon = child(rig.model, path).data(Qt::DecorationRole).value<QIcon>();
        QVERIFY2(!icon.isNull(), path);
        QCOMPARE(icon.pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::red));
    }
    QVERIFY(theme.ids.contains("icon/folder.svg"));
    QVERIFY(theme.ids.contains("icon/file.svg"));
}

void TestVfsModelRoles::accessColumn()
{
    FakeTheme theme;
    ListedRig rig({F::entry("rw", E::TypeFile, 1, 0, kAll),
                   F::entry("ro", E::TypeFile, 1, 0, E::AccessReadable)});
    QVERIFY(rig.ok);
    const QModelIndex rw = child(rig.model, "/d/rw", VfsModel::AccessColumn);
    const QModelIndex ro = child(rig.model, "/d/ro", VfsModel::AccessColumn);
    QVERIFY(!rw.data(Qt::DecorationRole).isValid());
    QCOMPARE(rw.data(Qt::SizeHintRole).toSize(), QSize(-1, -1));
    const QIcon icon = ro.data(Qt::DecorationRole).value<QIcon>();
    QVERIFY(!icon.isNull());
    QCOMPARE(icon.pixmap(16, 16).toImage().pixelColor(8, 8), QColor(Qt::red));
    QVERIFY(theme.ids.contains("icon/read-only.svg"));
    QCOMPARE(ro.data(Qt::SizeHintRole).toSize(), QSize(22, 22));
}

void TestVfsModelRoles::ageColours_data()
{
    QTest::addColumn<qint64>("ageSeconds");
    QTest::addColumn<QString>("colour"); // empty: the palette's text colour
    QTest::newRow("just now") << qint64(0) << "#0baf00";
    QTest::newRow("4:59") << qint64(299) << "#0baf00";
    QTest::newRow("5 minutes") << qint64(300) << "#2ba200";
    QTest::newRow("10 minutes") << qint64(600) << "#269004";
    QTest::newRow("8 hours") << qint64(28800) << "#4a8439";
    QTest::newRow("a day") << qint64(86400) << "#42850c";
    QTest::newRow("two days") << qint64(172800) << "#4e7a0a";
    QTest::newRow("three days") << qint64(259200) << "#656005";
    QTest::newRow("a week less a second") << qint64(604799) << "#656005";
    QTest::newRow("a week") << qint64(604800) << "";
    QTest::newRow("years") << qint64(100000000) << "";
}

void TestVfsModelRoles::ageColours()
{
    QFETCH(qint64, ageSeconds);
    QFETCH(QString, colour);
    constexpr qint64 now = 1700000000000;
    ListedRig rig({F::file("f", 1, now - ageSeconds * 1000)});
    QVERIFY(rig.ok);
    rig.model->setWallClock([] { return now; });
    const QModelIndex f = child(rig.model, "/d/f");
    const QPalette palette = QGuiApplication::palette();
    const QColor expected = colour.isEmpty() ? palette.color(QPalette::Text) : QColor(colour);
    QCOMPARE(f.data(Qt::ForegroundRole).value<QColor>(), expected);

    // Other columns, and any column while the link is down: dimmed.
    const QColor mid = palette.color(QPalette::Inactive, QPalette::Mid);
    QCOMPARE(f.sibling(f.row(), 4).data(Qt::ForegroundRole).value<QColor>(), mid);
    // Top-level rows keep the view's colour.
    QVERIFY(!rig.model->index(1, 0).data(Qt::ForegroundRole).isValid());
    rig.peer->setLinkState(IPeer::LinkDown);
    QCOMPARE(f.data(Qt::ForegroundRole).value<QColor>(), mid);
}

void TestVfsModelRoles::fontsAlignmentHintsAndDropTarget()
{
    ListedRig rig({F::file("f", 1), F::dir("sub")});
    QVERIFY(rig.ok);
    const QModelIndex f = child(rig.model, "/d/f");
    const QModelIndex sub = child(rig.model, "/d/sub");
    auto at = [](const QModelIndex& index, int column) { return index.sibling(index.row(), column); };

    for (int column : {4, 7, 8})
        QCOMPARE(at(f, column).data(Qt::FontRole).value<QFont>(), QFont("TypeWriter"));
    QVERIFY(!at(sub, 4).data(Qt::FontRole).isValid());
    QCOMPARE(at(sub, 7).data(Qt::FontRole).value<QFont>(), QFont("TypeWriter"));
    QCOMPARE(f.data(Qt::FontRole).value<QFont>(), QGuiApplication::font());

    QCOMPARE(at(f, 4).data(Qt::TextAlignmentRole).toInt(), 130);
    QCOMPARE(at(f, 7).data(Qt::TextAlignmentRole).toInt(), 132);
    QCOMPARE(at(f, 8).data(Qt::TextAlignmentRole).toInt(), 132);
    QVERIFY(!f.data(Qt::TextAlignmentRole).isValid());
    QCOMPARE(at(sub, 4).data(Qt::TextAlignmentRole).toInt(), 130);

    QCOMPARE(at(f, 4).data(Qt::SizeHintRole).toSize(),
             QSize(QFontMetrics(QGuiApplication::font()).horizontalAdvance("0000 Bytes"), 22));
    QVERIFY(!f.data(Qt::SizeHintRole).isValid());
    QVERIFY(!f.data(Qt::CheckStateRole).isValid());

    QVERIFY(!f.data(Qt::BackgroundRole).isValid());
    QVERIFY(rig.model->setData(f, int(VfsModel::DropTargetFlag), VfsModel::FlagsRole));
    QCOMPARE(f.data(Qt::BackgroundRole).value<QBrush>(), QGuiApplication::palette().midlight());
}

void TestVfsModelRoles::setDataRenamesAndFlags()
{
    ListedRig rig({F::file("f", 1)});
    QVERIFY(rig.ok);
    const QModelIndex f = child(rig.model, "/d/f");
    QSignalSpy renames(rig.model, &VfsModel::renameRequest);
    QSignalSpy changes(rig.model, &QAbstractItemModel::dataChanged);

    QVERIFY(!rig.model->setData(f, "g"));
    QCOMPARE(renames.count(), 1);
    QCOMPARE(renames.at(0).at(0).toModelIndex(), f);
    QCOMPARE(renames.at(0).at(1).toString(), QStringLiteral("g"));
    QCOMPARE(f.data().toString(), QStringLiteral("f")); // the rename is the pane's
    QVERIFY(!rig.model->setData(f, "f"));
    QCOMPARE(renames.count(), 1);
    QVERIFY(!rig.model->setData(f.sibling(f.row(), 3), "g"));
    QCOMPARE(renames.count(), 1);
    QCOMPARE(changes.count(), 0);

    QVERIFY(rig.model->setData(f, int(VfsModel::CopyMarkFlag), VfsModel::FlagsRole));
    QCOMPARE(changes.count(), 1);
    QCOMPARE(changes.at(0).at(0).toModelIndex(), f);
    QCOMPARE(changes.at(0).at(1).toModelIndex().column(), 13);
    QVERIFY(changes.at(0).at(2).value<QVector<int>>().isEmpty());
    QCOMPARE(f.data(VfsModel::FlagsRole).toInt(), int(VfsModel::CopyMarkFlag));
    QVERIFY(!rig.model->setData(f, int(VfsModel::CopyMarkFlag), VfsModel::FlagsRole)); // the same
    QVERIFY(!rig.model->setData(f, "not a number", VfsModel::FlagsRole));
    QVERIFY(!rig.model->setData(f, 1, VfsModel::SizeRole));
    QCOMPARE(changes.count(), 1);
    QCOMPARE(f.data(VfsModel::FlagsRole).toInt(), int(VfsModel::CopyMarkFlag));
}

// ---------------------------------------------------------------------------

void TestVfsModelRoles::previewFlag_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<bool>("previewable");
    QTest::newRow("jpg") << QByteArray("a.jpg") << true;
    QTest::newRow("upper case") << QByteArray("A.JPEG") << true;
    QTest::newRow("in the middle") << QByteArray("x.jpg.part") << true;
    QTest::newRow("raw in lower case") << QByteArray("img.cr2") << true;
    QTest::newRow("postscript") << QByteArray("doc.PS") << true;
    QTest::newRow("krita") << QByteArray("art.kra") << true;
    QTest::newRow("text") << QByteArray("notes.txt") << false;
    QTest::newRow("pdf is not among them") << QByteArray("paper.pdf") << false;
}

// A view that wants a previewable file's preview asks for it (once).
void TestVfsModelRoles::previewFlag()
{
    QFETCH(QByteArray, name);
    QFETCH(bool, previewable);
    ListedRig rig({F::file(name.constData(), 1)}, QStringLiteral("{1b4e28ba-2fa1-11d2-883f-0016d3cca427}"));
    QVERIFY(rig.ok);
    const QModelIndex f = rig.model->index(0, 0, rig.d);
    QSignalSpy asked(rig.model, &VfsModel::noPreviewCached);
    QVERIFY(!f.data(VfsModel::PreviewRole).isValid());
    f.data(Qt::DecorationRole);
    f.data(VfsModel::PreviewRole);
    QCOMPARE(asked.count(), previewable ? 1 : 0);
}

void TestVfsModelRoles::previewLoadedForShownDirectory()
{
    FakePreview preview;
    ListedRig rig({F::file("a.png", 1, 5000)});
    QVERIFY(rig.ok);
    rig.model->retainEntry("/d");
    const QPersistentModelIndex a = rig.model->index(0, 0, rig.d);
    QSignalSpy changes(rig.model, &QAbstractItemModel::dataChanged);
    QVERIFY(!a.data(VfsModel::PreviewRole).isValid()); // asks for it
    QVERIFY(waitUntil([&] { return a.data(VfsModel::PreviewRole).isValid(); }));
    QCOMPARE(preview.loads.load(), 1);
    QCOMPARE(preview.asked, (std::vector<QSize>{{20, 20}, {24, 24}, {32, 32}, {48, 48}, {256, 256}}));
    // The largest image up to the limit is kept.
    QCOMPARE(a.data(VfsModel::PreviewRole).value<QImage>().size(), QSize(256, 256));
    QVERIFY(!changes.isEmpty());
    QCOMPARE(changes.last().at(0).toModelIndex(), QModelIndex(a));
    // The small images make the decoration, squared.
    const QIcon icon = a.data(Qt::DecorationRole).value<QIcon>();
    QVERIFY(!icon.isNull());
    QVERIFY(icon.availableSizes().contains(QSize(20, 20)));
    QVERIFY(icon.availableSizes().contains(QSize(48, 48)));
    QVERIFY(!icon.availableSizes().contains(QSize(256, 256)));
    const QImage first = icon.pixmap(20, 20).toImage();
    QCOMPARE(first.pixelColor(10, 1).alpha(), 0); // the half-height image in the middle
    QCOMPARE(first.pixelColor(10, 10), QColor(Qt::green));

    // Cached: no second load. A new modification time drops it and loads
    // it again.
    a.data(VfsModel::PreviewRole);
    rig.fake->dirs["/d"].entries = {F::file("a.png", 1, 6000)};
    rig.now += 60000;
    QVERIFY(rig.list(rig.d));
    QVERIFY(waitUntil([&] { return preview.loads.load() == 2 && a.data(VfsModel::PreviewRole).isValid(); }));
    QTest::qWait(50);
    QCOMPARE(preview.loads.load(), 2);
}

void TestVfsModelRoles::previewOfHiddenDirectoryAskedAgain()
{
    FakePreview preview;
    ListedRig rig({F::file("a.png", 1)});
    QVERIFY(rig.ok);
    const QPersistentModelIndex a = rig.model->index(0, 0, rig.d);
    QSignalSpy asked(rig.model, &VfsModel::noPreviewCached);
    a.data(Qt::DecorationRole); // asked while the directory is not shown
    QCOMPARE(asked.count(), 1);
    QTest::qWait(100);
    QCOMPARE(preview.loads.load(), 0);
    // Back to "possible": the next view that wants it asks again.
    a.data(Qt::DecorationRole);
    QCOMPARE(asked.count(), 2);
    rig.model->retainEntry("/d");
    QVERIFY(waitUntil([&] { return a.data(VfsModel::PreviewRole).isValid(); }));
    QCOMPARE(preview.loads.load(), 1);
}

// The bound holds for all models together: two peers' previews do not take
// twice the room.
void TestVfsModelRoles::previewCacheBoundForTheProcess()
{
    FakePreview preview;
    VfsPreviewCache& cache = VfsPreviewCache::instance();
    QCOMPARE(cache.maxBytes(), 400000000);
    const int oneImage = 256 * 256 * 4;
    cache.setMaxBytes(oneImage + oneImage / 2);

    ListedRig first({F::file("a.png", 1)});
    ListedRig second({F::file("b.png", 1)}, QStringLiteral("{1b4e28ba-2fa1-11d2-883f-0016d3cca427}"));
    QVERIFY(first.ok && second.ok);
    first.model->retainEntry("/d");
    second.model->retainEntry("/d");
    const QPersistentModelIndex a = first.model->index(0, 0, first.d);
    const QPersistentModelIndex b = second.model->index(0, 0, second.d);
    a.data(VfsModel::PreviewRole);
    QVERIFY(waitUntil([&] { return cache.contains(first.model, a.internalPointer()); }));
    b.data(VfsModel::PreviewRole);
    QVERIFY(waitUntil([&] { return cache.contains(second.model, b.internalPointer()); }));
    QVERIFY(cache.totalBytes() <= cache.maxBytes());
    QVERIFY(!cache.contains(first.model, a.internalPointer())); // the older image made room
    cache.setMaxBytes(VfsPreviewCache::DefaultMaxBytes);
}

// Icons are looked up on disk only for the own machine's files.
void TestVfsModelRoles::iconsOfOwnFilesOnly()
{
    FakeTheme theme;
    QTemporaryDir tmp;
    QVERIFY(QDir(tmp.path()).mkdir("d"));
    QFile exe(tmp.filePath("d/tool.exe"));
    QVERIFY(exe.open(QIODevice::WriteOnly) && exe.write("MZ") == 2);
    exe.close();
    {
        ModelRig own;
        const QPersistentModelIndex d = own.reach(tmp.filePath("d"));
        QVERIFY(d.isValid() && own.list(d));
        const QPersistentModelIndex tool = own.model->indexForPath(tmp.filePath("d/tool.exe"));
        QVERIFY(tool.isValid());
        QVERIFY(waitUntil([&] {
            return tool.data(Qt::DecorationRole).value<QIcon>().availableSizes().contains(QSize(64, 64));
        }));
        QVERIFY(theme.platformAsks.load() >= 3); // 256, 144, then 64
    }
    QThreadPool::globalInstance()->waitForDone();
    const int asks = theme.platformAsks.load();
    ListedRig remote({F::file("tool.exe", 2), F::dir("sub")}, QStringLiteral("{00000000-0000-0000-0000-00000000abcd}"));
    QVERIFY(remote.ok);
    QTest::qWait(100);
    QThreadPool::globalInstance()->waitForDone();
    QCOMPARE(theme.platformAsks.load(), asks);
}

// Qt's model checker reads every role of every entry while previews and
// flags change.
void TestVfsModelRoles::consistentForModelTester()
{
    FakePreview preview;
    ListedRig rig({F::file("a.png", 1), F::dir("sub"), F::file("b.txt", 3)});
    QVERIFY(rig.ok);
    rig.model->retainEntry("/d");
    QAbstractItemModelTester tester(rig.model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    const QPersistentModelIndex a = rig.model->index(0, 0, rig.d);
    QVERIFY(waitUntil([&] { return a.data(VfsModel::PreviewRole).isValid(); }));
    QVERIFY(rig.model->setData(a, 3, VfsModel::FlagsRole));
}

QTEST_MAIN(TestVfsModelRoles)
#include "tst_vfsmodelroles.moc"
