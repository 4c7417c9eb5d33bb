#include "fileopstestbase.h"

#include "nodeview/nodeview.h"
#include "peer/peervelm.h"

#include <QBuffer>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QStandardItemModel>

#include <sys/mount.h>

namespace {

bool exists(const QString& path)
{
    return QFileInfo::exists(path);
}

QByteArray pngBytes()
{
    QImage image(16, 16, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// Drags out of a Filer and drops onto it, without the window system: what a
// drag carries and shows, and what a drop does, fed to the views' own drag
// and drop handlers. Items of another machine never travel as file URLs;
// nothing is copied or moved into itself; dropped data never overwrites.
class TestFilerDragDrop : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void dragPicture_data();
    void dragPicture();
    void dragData_data();
    void dragData();
    void tooManyPathsStartNoDrag();
    void dropItems_data();
    void dropItems();
    void dropData_data();
    void dropData();
    void failedWriteShows();

private:
    // The own peer's "work": a.txt, b.txt, c.txt, sub/inner/, sub2/.
    Filer* work(const QString& shown = QString());
    // Runs a drag over the current view of filer onto the directory entry
    // onto (a name in the shown folder; empty: free space) and drops it.
    bool drop(Filer* filer, const QMimeData& data, const QString& onto);
    static QMenu* dropMenu();

    std::unique_ptr<FileOpsFixture> x;
    QString m_dir;
    QString m_mount;
};

void TestFilerDragDrop::init()
{
    x.reset(new FileOpsFixture);
}

void TestFilerDragDrop::cleanup()
{
    if (QMenu* menu = dropMenu())
        menu->hide();
    // Before the rig removes its trees.
    if (!m_mount.isEmpty())
        ::umount2(QFile::encodeName(m_mount).constData(), MNT_DETACH);
    m_mount.clear();
    x.reset();
}

Filer* TestFilerDragDrop::work(const QString& shown)
{
    m_dir = x->f->rig->root(x->f->rig->ownPeer()) + QStringLiteral("/work");
    FilerFixture::makeDirs(m_dir, { QStringLiteral("sub/inner"), QStringLiteral("sub2") });
    FilerFixture::makeFiles(m_dir, { QStringLiteral("a.txt"), QStringLiteral("b.txt"), QStringLiteral("c.txt") });
    Filer* filer = x->filerIn(x->f->rig->ownPeer(), m_dir, 5);
    if (filer && !shown.isEmpty()) {
        const QString path = m_dir + QLatin1Char('/') + shown;
        filer->gotoPath(path);
        for (int i = 0; i < 1500 && (filer->path() != path || filer->proxy()->rowCount(filer->currentView()->rootIndex()) < 1); ++i)
            QTest::qWait(10);
    }
    return filer;
}

QMenu* TestFilerDragDrop::dropMenu()
{
    return qobject_cast<QMenu*>(QApplication::activePopupWidget());
}

bool TestFilerDragDrop::drop(Filer* filer, const QMimeData& data, const QString& onto)
{
    QAbstractItemView* view = filer->currentView();
    QPoint at(10, view->viewport()->height() - 5);
    if (!onto.isEmpty()) {
        const QModelIndex index = FileOpsFixture::shown(filer, filer->path() + QLatin1Char('/') + onto);
        if (!index.isValid())
            return false;
        at = view->visualRect(index).center();
    } else if (view->indexAt(at).isValid()) {
        return false;
    }
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &enter);
    if (!enter.isAccepted())
        return false;
    QDragMoveEvent move(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &move);
    QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &dropped);
    return true;
}

void TestFilerDragDrop::dragPicture_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("everyColumn");
    QTest::addColumn<QString>("label");
    QTest::newRow("three files: the count, no icon") << QStringList{ "a.txt", "b.txt", "c.txt" } << false << "3 items";
    QTest::newRow("one file: its icon and name") << QStringList{ "a.txt" } << false << "a.txt";
    QTest::newRow("a row with every column counts once") << QStringList{ "b.txt" } << true << "b.txt";
}

void TestFilerDragDrop::dragPicture()
{
    QFETCH(QStringList, names);
    QFETCH(bool, everyColumn);
    QFETCH(QString, label);
    // Rows as the file model gives them: the name in its role, a red icon
    // in column 0, and two more columns.
    QPixmap red(64, 64);
    red.fill(Qt::red);
    QStandardItemModel rows;
    for (const QString& name : QStringList{ "a.txt", "b.txt", "c.txt" }) {
        auto* item = new QStandardItem(QIcon(red), name);
        item->setData(name, VfsModel::NameRole);
        rows.appendRow({ item, new QStandardItem(QStringLiteral("5 B")), new QStandardItem(QStringLiteral("today")) });
    }
    QModelIndexList indexes;
    for (const QString& name : names) {
        const int row = rows.findItems(name).first()->row();
        for (int column = 0; column < (everyColumn ? 3 : 1); ++column)
            indexes << rows.index(row, column);
    }
    Filer* filer = x->f->newFiler();
    const QImage picture = filer->createDragPixmap(indexes).toImage();
    FileOpsFixture::shot(picture, QStringLiteral("drag-label-") + QString::number(names.size()));
    const QSize text = QFontMetrics(filer->font()).size(Qt::TextSingleLine, label);
    const bool icon = names.size() == 1;
    QCOMPARE(picture.size(), QSize(text.width() + 8 + (icon ? 48 : 0), text.height() + 8));
    // Rounded: the corners stay clear, the middle is filled.
    QCOMPARE(qAlpha(picture.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(picture.pixel(picture.width() - 1, picture.height() - 1)), 0);
    QCOMPARE(qAlpha(picture.pixel(picture.width() / 2, picture.height() / 2)), 255);
    // The icon sits at the left, in a square as high as the label.
    const QColor left = picture.pixelColor(text.height() / 2 + 4, picture.height() / 2);
    QCOMPARE(left.red() > 200 && left.green() < 60, icon);
}

void TestFilerDragDrop::dragData_data()
{
    QTest::addColumn<bool>("own");
    QTest::newRow("this machine: file URLs only") << true;
    QTest::newRow("another machine: no file URL") << false;
}

void TestFilerDragDrop::dragData()
{
    QFETCH(bool, own);
    IPeer* peer = own ? static_cast<IPeer*>(x->f->rig->ownPeer()) : x->f->rig->addPeer(QStringLiteral("far"));
    m_dir = x->f->rig->root(static_cast<RigPeer*>(peer)) + QStringLiteral("/share");
    FilerFixture::makeDirs(m_dir, { QString() });
    FilerFixture::makeFiles(m_dir, { QStringLiteral("one"), QStringLiteral("two") });
    Filer* filer = x->filerIn(peer, m_dir, 2);
    QVERIFY(filer);
    QVERIFY(FileOpsFixture::select(filer, m_dir, { QStringLiteral("two"), QStringLiteral("one") }));
    const QStringList paths = { m_dir + QStringLiteral("/two"), m_dir + QStringLiteral("/one") };
    std::unique_ptr<QMimeData> data(filer->createDragMimeData(filer->selectionModel()->selectedIndexes()));
    QVERIFY(data);
    if (own) {
        QCOMPARE(data->urls(), (QList<QUrl>{ QUrl::fromLocalFile(paths[0]), QUrl::fromLocalFile(paths[1]) }));
        QVERIFY(!data->hasFormat(Filer::peerUuidFormat()));
        QVERIFY(!data->hasFormat(Filer::remotePathsFormat()));
        return;
    }
    // What any program sees: no URL at all, so nothing of this machine.
    QVERIFY(!data->hasUrls());
    QVERIFY(!data->formats().contains(QStringLiteral("text/uri-list")));
    QVERIFY(!data->hasText());
    QCOMPARE(data->data(Filer::peerUuidFormat()), peer->uuid().toLatin1());
    QCOMPARE(data->data(Filer::remotePathsFormat()), (paths.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    // The node view reads the same format.
    QCOMPARE(NodeView::remotePathsFormat(), Filer::remotePathsFormat());
    QCOMPARE(NodeView::firstRemotePath(data->data(NodeView::remotePathsFormat())), paths[0]);
}

void TestFilerDragDrop::tooManyPathsStartNoDrag()
{
    RigPeer* peer = x->f->rig->addPeer(QStringLiteral("far"));
    m_dir = x->f->rig->root(peer) + QStringLiteral("/share");
    FilerFixture::makeDirs(m_dir, { QString() });
    const QString name = QString(100, QLatin1Char('n'));
    FilerFixture::makeFiles(m_dir, { name });
    Filer* filer = x->filerIn(peer, m_dir, 1);
    QVERIFY(filer);
    const QModelIndex index = FileOpsFixture::shown(filer, m_dir + QLatin1Char('/') + name);
    QModelIndexList many;
    for (int i = 0; i * (m_dir.size() + name.size() + 2) <= Filer::MaxRemotePathsBytes; ++i)
        many << index;
    QVERIFY(!filer->createDragMimeData(many));
    QVERIFY(FileOpsFixture::status(filer).startsWith(QStringLiteral("These items cannot be dragged")));
    many.removeLast();
    many.removeLast();
    std::unique_ptr<QMimeData> fits(filer->createDragMimeData(many));
    QVERIFY(fits);
    QVERIFY(fits->data(Filer::remotePathsFormat()).size() <= Filer::MaxRemotePathsBytes);
}

void TestFilerDragDrop::dropItems_data()
{
    QTest::addColumn<bool>("fromFar");
    QTest::addColumn<QString>("shown");      // the target Filer's folder under work
    QTest::addColumn<QStringList>("items");  // under work (or the far share)
    QTest::addColumn<QString>("onto");       // a folder in the shown one; empty: free space
    QTest::addColumn<QString>("choice");     // "move", "copy", "escape"; empty: no menu
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("absent");

    QTest::newRow("into the folder that holds it") << false << "" << QStringList{ "a.txt" } << "" << ""
                                                   << QStringList{ "a.txt" } << QStringList{};
    QTest::newRow("same machine, other folder: move")
        << false << "" << QStringList{ "a.txt" } << "sub" << "move" << QStringList{ "sub/a.txt" }
        << QStringList{ "a.txt" };
    QTest::newRow("same machine, other folder: copy")
        << false << "" << QStringList{ "a.txt", "b.txt" } << "sub" << "copy"
        << QStringList{ "a.txt", "b.txt", "sub/a.txt", "sub/b.txt" } << QStringList{};
    QTest::newRow("another machine: copy only") << true << "" << QStringList{ "f.txt" } << "" << "copy"
                                                << QStringList{ "f.txt" } << QStringList{};
    QTest::newRow("a folder onto itself") << false << "" << QStringList{ "sub" } << "sub" << ""
                                          << QStringList{ "sub/inner" } << QStringList{ "sub/sub" };
    QTest::newRow("a folder into its own tree") << false << "sub" << QStringList{ "sub" } << "inner" << ""
                                                << QStringList{ "sub/inner" } << QStringList{ "sub/inner/sub" };
    QTest::newRow("a name that only begins like it is no subfolder")
        << false << "" << QStringList{ "sub" } << "sub2" << "copy" << QStringList{ "sub", "sub2/sub/inner" }
        << QStringList{};
    QTest::newRow("only the folder itself is skipped")
        << false << "" << QStringList{ "a.txt", "sub" } << "sub" << "copy" << QStringList{ "a.txt", "sub/a.txt" }
        << QStringList{ "sub/sub" };
    QTest::newRow("menu dismissed") << false << "" << QStringList{ "a.txt" } << "sub" << "escape"
                                    << QStringList{ "a.txt" } << QStringList{ "sub/a.txt" };
}

void TestFilerDragDrop::dropItems()
{
    QFETCH(bool, fromFar);
    QFETCH(QString, shown);
    QFETCH(QStringList, items);
    QFETCH(QString, onto);
    QFETCH(QString, choice);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);

    std::unique_ptr<QMimeData> data;
    QString farShare;
    if (fromFar) {
        // The drag is what the far machine's Filer makes of its selection.
        RigPeer* far = x->f->rig->addPeer(QStringLiteral("far"));
        farShare = x->f->rig->root(far) + QStringLiteral("/share");
        FilerFixture::makeDirs(farShare, { QString() });
        FilerFixture::makeFiles(farShare, { QStringLiteral("f.txt") });
        Filer* source = x->filerIn(far, farShare, 1);
        QVERIFY(source);
        QVERIFY(FileOpsFixture::select(source, farShare, items));
        data.reset(source->createDragMimeData(source->selectionModel()->selectedRows()));
        QVERIFY(data);
    }
    Filer* filer = work(shown);
    QVERIFY(filer);
    if (!fromFar) {
        QList<QUrl> urls;
        for (const QString& item : items)
            urls << QUrl::fromLocalFile(m_dir + QLatin1Char('/') + item);
        data.reset(new QMimeData);
        data->setUrls(urls);
    }
    QSignalSpy added(x->jobs.get(), &VfsJobModel::jobAdded);
    QVERIFY(drop(filer, *data, onto));
    QMenu* menu = dropMenu();
    QCOMPARE(menu != nullptr, !choice.isEmpty());
    if (menu) {
        QAction* moveHere = menu->findChild<QAction*>(QStringLiteral("moveHere"));
        QAction* copyHere = menu->findChild<QAction*>(QStringLiteral("copyHere"));
        QVERIFY(moveHere && copyHere);
        QCOMPARE(menu->actions(), (QList<QAction*>{ moveHere, copyHere }));
        QCOMPARE(moveHere->text(), QStringLiteral("Move here"));
        QCOMPARE(moveHere->isEnabled(), !fromFar);
        QVERIFY(copyHere->isEnabled());
        if (choice == QLatin1String("escape"))
            QTest::keyClick(menu, Qt::Key_Escape);
        else
            QTest::mouseClick(menu, Qt::LeftButton, Qt::NoModifier,
                              menu->actionGeometry(choice == QLatin1String("move") ? moveHere : copyHere).center());
        QTRY_VERIFY(!dropMenu());
    }
    const bool done = choice == QLatin1String("move") || choice == QLatin1String("copy");
    if (done) {
        QTRY_COMPARE(added.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(x->jobs->rowCount(), 0, 15000);
        QVERIFY(FileOpsFixture::status(filer).isEmpty());
    } else {
        QTRY_COMPARE(FileOpsFixture::status(filer), QStringLiteral("Unsupported operation"));
        QCOMPARE(added.count(), 0);
    }
    for (const QString& path : present)
        QTRY_VERIFY2_WITH_TIMEOUT(exists(m_dir + QLatin1Char('/') + path), qPrintable(path), 15000);
    for (const QString& path : absent)
        QVERIFY2(!exists(m_dir + QLatin1Char('/') + path), qPrintable(path));
    if (fromFar)
        QVERIFY(exists(farShare + QStringLiteral("/f.txt")));
    // The drop-target mark is gone.
    const QModelIndex target = FilerFixture::modelOf(filer->peer())->indexForPath(filer->path() + QLatin1Char('/') + onto);
    QVERIFY(!(target.data(VfsModel::FlagsRole).toInt() & VfsModel::DropTargetFlag));
}

void TestFilerDragDrop::dropData_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("existing");  // a file there before, holding "keep"
    QTest::addColumn<QString>("written");   // empty: nothing is written, "Unsupported operation"
    const QByteArray png = pngBytes();
    QTest::newRow("http link") << "http://example.org/picture" << png << "" << "";
    QTest::newRow("https link") << "https://example.org/picture.png" << png << "" << "";
    QTest::newRow("PNG bytes named picture") << "file:///nowhere/picture" << png << "" << "picture.png";
    QTest::newRow("photo.PNG keeps its name") << "file:///nowhere/photo.PNG" << png << "" << "photo.PNG";
    QTest::newRow("never over an existing file") << "file:///nowhere/picture" << png << "picture.png"
                                                 << "picture (1).png";
    QTest::newRow("no name") << "file:///nowhere/" << png << "" << "";
    QTest::newRow("a name with a backslash") << "file:///nowhere/a%5Cb" << png << "" << "";
    QTest::newRow("no image") << "file:///nowhere/notes" << QByteArray("just text\n") << "" << "";
}

void TestFilerDragDrop::dropData()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, existing);
    QFETCH(QString, written);
    Filer* filer = work();
    QVERIFY(filer);
    if (!existing.isEmpty()) {
        QFile file(m_dir + QLatin1Char('/') + existing);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep");
    }
    const QStringList before = QDir(m_dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QMimeData data;
    data.setUrls({ QUrl(url) });
    data.setData(QStringLiteral("application/octet-stream"), bytes);
    QVERIFY(drop(filer, data, QString()));
    QVERIFY(!dropMenu());
    if (written.isEmpty()) {
        QCOMPARE(FileOpsFixture::status(filer), QStringLiteral("Unsupported operation"));
        QCOMPARE(QDir(m_dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(exists(m_dir + QLatin1Char('/') + written), 15000);
    QTRY_VERIFY(!QImage(m_dir + QLatin1Char('/') + written).isNull());
    if (!existing.isEmpty())
        QCOMPARE(readAll(m_dir + QLatin1Char('/') + existing), QByteArray("keep"));
    QCOMPARE(QDir(m_dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).size(), before.size() + 1);
}

void TestFilerDragDrop::failedWriteShows()
{
    // A full file system: a 64 KB tmpfs, filled. The test runs as root, so
    // permissions cannot make the write fail.
    m_dir = x->f->rig->root(x->f->rig->ownPeer()) + QStringLiteral("/full");
    QVERIFY(QDir().mkpath(m_dir));
    if (::mount("tmpfs", QFile::encodeName(m_dir).constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("cannot mount a tmpfs here");
    m_mount = m_dir;
    {
        QFile filler(m_dir + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
    }
    Filer* filer = x->filerIn(x->f->rig->ownPeer(), m_dir, 1);
    QVERIFY(filer);
    QImage big(512, 512, QImage::Format_ARGB32);
    for (int y = 0; y < big.height(); ++y) {
        for (int col = 0; col < big.width(); ++col)
            big.setPixel(col, y, qRgba(col * 7 % 256, y * 13 % 256, (col ^ y) % 256, 255));
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    big.save(&buffer, "PNG");
    QMimeData data;
    data.setUrls({ QUrl(QStringLiteral("file:///nowhere/picture")) });
    data.setData(QStringLiteral("application/octet-stream"), bytes);
    QVERIFY(drop(filer, data, QString()));
    QTRY_VERIFY_WITH_TIMEOUT(
        FileOpsFixture::status(filer).startsWith(QStringLiteral("Failed to save the dropped image: ")), 15000);
    // No partial file looks like a finished one.
    QVERIFY(!exists(m_dir + QStringLiteral("/picture.png")));
}

QTEST_MAIN(TestFilerDragDrop)
#include "tst_filerdragdrop.moc"
