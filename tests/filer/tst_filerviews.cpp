#include "filertestbase.h"

#include "filer/filericonview.h"
#include "filer/filertreeview.h"
#include "filer/icondelegate.h"
#include "filer/itemdelegate.h"
#include "models/vfssortfilterproxymodel.h"
#include "support/gatedpreview.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QSet>
#include <QStandardItemModel>
#include <QtTest>

// The icon and tree views of a Filer and their delegates: icon steps and
// the zoom anchor, column polish, drop-target marks and the rubber band;
// the delegates painted into images with a fixed font.
class TestFilerViews : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void iconSteps_data();
    void iconSteps();
    void zoomAnchor();
    void narrowTreeKeepsNameWidth();
    void smallAccessColumnIsHidden();
    void numberColumnsFitTheirTexts_data();
    void numberColumnsFitTheirTexts();
    void dropTargetMarks_data();
    void dropTargetMarks();
    void rubberBandStartsNoDrag();

    void iconHintWithoutPreview();
    void shadowOnlyForOpaquePreviews_data();
    void shadowOnlyForOpaquePreviews();
    void smallPreviewCentredOnBottom();
    void nothingUnderRenameEditor();
    void editorStaysInView();
    void itemDelegateLevels();
    void iconViewGrab();
    void nullPreviewPaintsIcon_data();
    void nullPreviewPaintsIcon();
    void onlyPaintingAsksForPreviews();
    void shownRowsLoadFirst();

private:
    // A Filer in the given mode on a folder of `count` files and two
    // directories, shown at that size.
    Filer* filerOn(int mode, int count, const QSize& size);
    static QFont fixedFont();
    std::unique_ptr<FilerFixture> f;
    QString m_root;
};

void TestFilerViews::init()
{
    f.reset(new FilerFixture);
}

void TestFilerViews::cleanup()
{
    f.reset();
}

QFont TestFilerViews::fixedFont()
{
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(12);
    return font;
}

Filer* TestFilerViews::filerOn(int mode, int count, const QSize& size)
{
    RigPeer* peer = f->rig->addPeer(QStringLiteral("views"));
    m_root = f->rig->root(peer) + QStringLiteral("/shown");
    FilerFixture::makeDirs(m_root, { QStringLiteral("dir1"), QStringLiteral("dir2") });
    QStringList files;
    for (int i = 0; i < count; ++i)
        files << QStringLiteral("file%1.txt").arg(i, 3, 10, QLatin1Char('0'));
    FilerFixture::makeFiles(m_root, files);
    Filer* filer = f->newFiler();
    filer->setPeer(peer);
    filer->setViewMode(mode);
    f->pane->resize(size);
    f->pane->show();
    if (!QTest::qWaitForWindowExposed(f->pane.get()))
        return nullptr;
    filer->gotoPath(m_root);
    for (int i = 0; i < 1500 && (filer->path() != m_root || filer->proxy()->rowCount(filer->currentView()->rootIndex()) < count + 2); ++i)
        QTest::qWait(10);
    return filer;
}

void TestFilerViews::iconSteps_data()
{
    QTest::addColumn<bool>("up");
    QTest::addColumn<QList<int>>("sizes");
    QTest::newRow("up") << true << QList<int>{ 120, 144, 144, 144, 144 };
    QTest::newRow("down") << false << QList<int>{ 72, 72, 72, 72, 72 };
}

void TestFilerViews::iconSteps()
{
    QFETCH(bool, up);
    QFETCH(QList<int>, sizes);
    Filer* filer = f->newFiler();
    FilerIconView* view = filer->iconView();
    QCOMPARE(view->iconDelegate()->iconSize(), QSize(96, 96));
    for (int expected : sizes) {
        if (up)
            view->increaseItemSize();
        else
            view->decreaseItemSize();
        QCOMPARE(view->iconDelegate()->iconSize(), QSize(expected, expected));
    }
}

void TestFilerViews::zoomAnchor()
{
    Filer* filer = filerOn(Filer::ViewIcons, 60, QSize(600, 500));
    QVERIFY(filer);
    FilerIconView* view = filer->iconView();
    // The first row of items half under the top edge.
    view->verticalScrollBar()->setValue(60);
    QTest::qWait(20);
    QModelIndex expected;
    for (int y = 32; y < 160 && !expected.isValid(); y += 16)
        expected = view->indexAt(QPoint(32, y));
    QVERIFY(expected.isValid());

    view->setFocus();
    QTest::keyPress(view, Qt::Key_Control, Qt::ControlModifier);
    QCOMPARE(view->scrollAnchor(), expected);
    view->increaseItemSize();
    // The anchor is at the top after the zoom.
    const QRect rect = view->visualRect(view->model()->index(expected.row(), 0, view->rootIndex()));
    QVERIFY2(rect.top() >= -1 && rect.top() <= 16, qPrintable(QString::number(rect.top())));
    QTest::keyRelease(view, Qt::Key_Control, Qt::NoModifier);
    QVERIFY(!view->scrollAnchor().isValid());
}

void TestFilerViews::narrowTreeKeepsNameWidth()
{
    Filer* filer = filerOn(Filer::ViewColumns, 5, QSize(900, 500));
    QVERIFY(filer);
    FilerTreeView* view = filer->treeView();
    QTRY_COMPARE(view->polishState(), 1);
    const int wide = view->columnWidth(0);
    // The name takes what the size and date columns leave.
    QVERIFY2(wide > view->width() / 2, qPrintable(QString::number(wide)));
    // The other columns leave column 0 less than 61 pixels: it keeps its width.
    view->resize(120, view->height());
    view->polishColumWidths();
    QCOMPARE(view->columnWidth(0), wide);
}

void TestFilerViews::smallAccessColumnIsHidden()
{
    Filer* filer = filerOn(Filer::ViewColumns, 3, QSize(900, 500));
    QVERIFY(filer);
    FilerTreeView* view = filer->treeView();
    QTRY_COMPARE(view->polishState(), 1);
    const bool needsRoom = static_cast<QAbstractItemView*>(view)->sizeHintForColumn(VfsModel::AccessColumn) > 21;
    QCOMPARE(view->isColumnHidden(VfsModel::AccessColumn), !needsRoom);
    // A delegate that needs 21 pixels for the access column: hidden.
    class Narrow : public QStyledItemDelegate
    {
    public:
        using QStyledItemDelegate::QStyledItemDelegate;
        QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override { return QSize(21, 20); }
    } narrow;
    view->setItemDelegateForColumn(VfsModel::AccessColumn, &narrow);
    view->polishColumWidths();
    QVERIFY(view->isColumnHidden(VfsModel::AccessColumn));
    view->setItemDelegateForColumn(VfsModel::AccessColumn, nullptr);
    // In the list mode it stays hidden whatever it needs.
    filer->setViewMode(Filer::ViewList);
    view->polishColumWidths();
    QVERIFY(view->isColumnHidden(VfsModel::AccessColumn));
}

void TestFilerViews::numberColumnsFitTheirTexts_data()
{
    QTest::addColumn<QString>("locale");
    QTest::addColumn<int>("column");
    for (const char* locale : { "en_US", "de_DE" }) {
        QTest::addRow("dates, %s", locale) << locale << int(VfsModel::MTimeStringColumn);
        QTest::addRow("sizes, %s", locale) << locale << int(VfsModel::SizeColumn);
    }
}

// The width the style leaves for an item's text in a cell of the column:
// the common style's text margin on either side.
static int textRoom(FilerTreeView* view, int column)
{
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    return view->columnWidth(column) - 2 * margin;
}

// The Modified and Size columns hold a whole date and time, and the widest
// size, of the locale at their first width without eliding: for the rows
// shown, and in a directory with no rows yet (nothing to measure there but
// the header).
void TestFilerViews::numberColumnsFitTheirTexts()
{
    QFETCH(QString, locale);
    QFETCH(int, column);
    const QLocale before;
    QLocale::setDefault(QLocale(locale));
    Filer* filer = filerOn(Filer::ViewColumns, 3, QSize(600, 500));
    QVERIFY(filer);
    FilerTreeView* view = filer->treeView();
    QTRY_COMPARE(view->polishState(), 1);
    const QFontMetrics metrics(VfsModel::numberFont());
    const QStringList samples =
        column == VfsModel::MTimeStringColumn ? VfsModel::sampleMtimeTexts() : VfsModel::sampleSizeTexts();
    int widest = 0;
    for (const QString& text : samples)
        widest = std::max(widest, metrics.horizontalAdvance(text));
    QVERIFY(widest > metrics.horizontalAdvance(QStringLiteral("0000")));
    const QModelIndex root = view->rootIndex();
    QVERIFY(view->model()->rowCount(root) >= 3);
    QVERIFY(!view->isColumnHidden(column));
    for (int row = 0; row < view->model()->rowCount(root); ++row) {
        const QModelIndex index = view->model()->index(row, column, root);
        if (index.data(VfsModel::TypeRole).toInt() == VfsModel::DirectoryType)
            continue; // "Folder" is in the window's font, measured by the view itself
        const QString text = index.data().toString();
        const QFontMetrics rowMetrics(index.data(Qt::FontRole).value<QFont>());
        QVERIFY2(rowMetrics.horizontalAdvance(text) <= textRoom(view, column),
                 qPrintable(QStringLiteral("%1: %2 <= %3").arg(text).arg(rowMetrics.horizontalAdvance(text)).arg(textRoom(view, column))));
    }
    QVERIFY2(widest <= textRoom(view, column),
             qPrintable(QStringLiteral("%1 <= %2").arg(widest).arg(textRoom(view, column))));

    filer->gotoPath(m_root + QStringLiteral("/dir1"));
    QTRY_COMPARE(filer->path(), m_root + QStringLiteral("/dir1"));
    QCOMPARE(view->model()->rowCount(view->rootIndex()), 0);
    view->setColumnWidth(column, 20);
    view->polishColumWidths();
    QVERIFY2(widest <= textRoom(view, column),
             qPrintable(QStringLiteral("%1 <= %2").arg(widest).arg(textRoom(view, column))));
    QLocale::setDefault(before);
}

void TestFilerViews::dropTargetMarks_data()
{
    QTest::addColumn<bool>("tree");
    QTest::addColumn<QString>("over");
    QTest::addColumn<int>("column");
    QTest::addColumn<bool>("marked");
    QTest::newRow("tree, directory, name") << true << "dir1" << 0 << true;
    QTest::newRow("tree, directory, size") << true << "dir1" << int(VfsModel::SizeColumn) << false;
    QTest::newRow("tree, file") << true << "file000.txt" << 0 << false;
    QTest::newRow("icons, directory") << false << "dir1" << 0 << true;
    QTest::newRow("icons, file") << false << "file000.txt" << 0 << false;
}

void TestFilerViews::dropTargetMarks()
{
    QFETCH(bool, tree);
    QFETCH(QString, over);
    QFETCH(int, column);
    QFETCH(bool, marked);
    Filer* filer = filerOn(tree ? Filer::ViewColumns : Filer::ViewIcons, 3, QSize(900, 500));
    QVERIFY(filer);
    QAbstractItemView* view = filer->currentView();
    QTRY_VERIFY(!tree || !filer->treeView()->isColumnHidden(VfsModel::SizeColumn));
    const QModelIndex row = filer->proxy()->mapFromSource(
        FilerFixture::modelOf(filer->peer())->indexForPath(m_root + QLatin1Char('/') + over));
    QVERIFY(row.isValid());
    const QModelIndex target = row.sibling(row.row(), column);
    const QPoint at = view->visualRect(target).center();
    QMimeData mime;
    mime.setUrls({ QUrl::fromLocalFile(QStringLiteral("/tmp/x")) });
    QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &enter);
    QVERIFY(enter.isAccepted());
    QDragMoveEvent move(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(view->viewport(), &move);
    QVERIFY(move.isAccepted());
    const bool flagged = row.data(VfsModel::FlagsRole).toInt() & VfsModel::DropTargetFlag;
    QCOMPARE(flagged, marked);
    const QString targetPath = tree ? filer->treeView()->dropTargetPath() : filer->iconView()->dropTargetPath();
    QCOMPARE(targetPath, marked ? m_root + QLatin1Char('/') + over : m_root);
    // The mark goes when the drag moves on.
    filer->clearDropTargetPath(targetPath);
    QVERIFY(!(row.data(VfsModel::FlagsRole).toInt() & VfsModel::DropTargetFlag));
}

void TestFilerViews::rubberBandStartsNoDrag()
{
    Filer* filer = filerOn(Filer::ViewIcons, 4, QSize(900, 600));
    QVERIFY(filer);
    FilerIconView* view = filer->iconView();
    QWidget* viewport = view->viewport();
    const QPoint empty(viewport->width() - 10, viewport->height() - 10);
    QVERIFY(!view->indexAt(empty).isValid());
    QTest::mousePress(viewport, Qt::LeftButton, Qt::NoModifier, empty);
    QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &move);
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QCOMPARE(view->dragsStarted(), 0);
    QVERIFY(filer->selectionModel()->selectedIndexes().size() >= 4);
}

// ---- delegates

namespace {
QStandardItem* item(const QString& name, const QVariant& preview = QVariant())
{
    auto* it = new QStandardItem(name);
    it->setIcon(QIcon(QStringLiteral(":/icons/folder.svg")));
    if (preview.isValid()) {
        it->setData(preview, VfsModel::PreviewRole);
        // As the file model tells a layout the size of a preview at hand.
        if (preview.canConvert<QImage>())
            it->setData(preview.value<QImage>().size(), VfsModel::PreviewSizeRole);
    }
    return it;
}

QImage opaquePhoto(const QSize& size)
{
    QImage image(size, QImage::Format_ARGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgb((x * 7) & 255, (y * 5) & 255, 128));
    return image;
}

QImage transparentPng(const QSize& size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.fillRect(QRect(QPoint(size.width() / 3, size.height() / 3), size / 3), Qt::red);
    return image;
}

QStyleOptionViewItem optionFor(QWidget* widget, const QRect& rect, const QFont& font)
{
    QStyleOptionViewItem option;
    option.initFrom(widget);
    option.rect = rect;
    option.font = font;
    option.fontMetrics = QFontMetrics(font);
    option.widget = widget;
    option.decorationSize = QSize(96, 96);
    return option;
}

QImage paintItem(QAbstractItemDelegate* delegate, QWidget* widget, const QModelIndex& index, const QSize& size,
                 const QFont& font)
{
    QImage image(size + QSize(40, 40), QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setBackground(Qt::white);
    delegate->paint(&painter, optionFor(widget, QRect(QPoint(20, 20), size), font), index);
    return image;
}

int differingPixels(const QImage& a, const QImage& b, const QRect& within)
{
    int n = 0;
    for (int y = within.top(); y <= within.bottom(); ++y)
        for (int x = within.left(); x <= within.right(); ++x)
            n += a.pixel(x, y) != b.pixel(x, y);
    return n;
}
} // namespace

void TestFilerViews::iconHintWithoutPreview()
{
    QListView view;
    IconDelegate delegate;
    delegate.setIconSize(QSize(96, 96));
    QStandardItemModel model;
    model.appendRow(item(QStringLiteral("notes.txt")));
    const QFont font = fixedFont();
    const QStyleOptionViewItem option = optionFor(&view, QRect(0, 0, 200, 200), font);
    const QSize hint = delegate.sizeHint(option, model.index(0, 0));
    const int textHeight = QFontMetrics(font)
                               .boundingRect(QRect(0, 0, 96, 192), IconDelegate::TextFlags, QStringLiteral("notes.txt"))
                               .height();
    QCOMPARE(hint, QSize(104, 96 + textHeight + 16));
}

void TestFilerViews::shadowOnlyForOpaquePreviews_data()
{
    QTest::addColumn<QImage>("preview");
    QTest::addColumn<bool>("shadow");
    QTest::newRow("opaque photograph") << opaquePhoto(QSize(80, 60)) << true;
    QTest::newRow("png, transparent background") << transparentPng(QSize(80, 60)) << false;
}

void TestFilerViews::shadowOnlyForOpaquePreviews()
{
    QFETCH(QImage, preview);
    QFETCH(bool, shadow);
    QCOMPARE(IconDelegate::isLargelyTransparent(preview), !shadow);
    QListView view;
    IconDelegate delegate;
    delegate.setIconSize(QSize(96, 96));
    QStandardItemModel model;
    model.appendRow(item(QStringLiteral("photo"), preview));
    const QSize size(120, 140);
    const QImage painted = paintItem(&delegate, &view, model.index(0, 0), size, fixedFont());
    const QRect image = delegate.previewRect(preview.size(), QRect(QPoint(20, 20), size));
    QCOMPARE(image.size(), preview.size());
    // A band just left of the image: shadow or plain background.
    const QRect band(image.left() - 6, image.top() + 10, 5, image.height() - 20);
    QImage blank(painted.size(), painted.format());
    blank.fill(Qt::white);
    QCOMPARE(differingPixels(painted, blank, band) > 0, shadow);
}

void TestFilerViews::smallPreviewCentredOnBottom()
{
    IconDelegate delegate;
    delegate.setIconSize(QSize(96, 96));
    const QRect item(10, 20, 120, 150);
    const QRect r = delegate.previewRect(QSize(40, 30), item);
    QCOMPARE(r.size(), QSize(40, 30));
    QCOMPARE(r.center().x(), item.center().x());
    QCOMPARE(r.bottom(), item.top() + 96 - 1);
    // A large one is scaled into the icon area, even sizes.
    const QRect big = delegate.previewRect(QSize(401, 301), item);
    QVERIFY(big.height() <= 96 && big.width() <= 120);
    QCOMPARE(big.width() % 2, 0);
    QCOMPARE(big.height() % 2, 0);
}

void TestFilerViews::nothingUnderRenameEditor()
{
    QListView view;
    view.setViewMode(QListView::IconMode);
    auto* delegate = new IconDelegate(&view);
    delegate->setIconSize(QSize(96, 96));
    view.setItemDelegate(delegate);
    QStandardItemModel model;
    model.appendRow(item(QStringLiteral("a long name")));
    view.setModel(&model);
    view.resize(400, 300);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QModelIndex index = model.index(0, 0);
    view.setCurrentIndex(index);
    const QSize size(120, 140);
    const QImage closed = paintItem(delegate, &view, index, size, fixedFont());
    view.edit(index);
    QTRY_VERIFY(view.findChild<QLineEdit*>());
    const QImage open = paintItem(delegate, &view, index, size, fixedFont());
    const QRect text(20, 20 + 96 + IconDelegate::Margin, size.width(), size.height() - 96 - IconDelegate::Margin);
    QVERIFY(differingPixels(closed, open, text) > 0);
    QImage blank(open.size(), open.format());
    blank.fill(Qt::white);
    QCOMPARE(differingPixels(open, blank, text), 0);
}

void TestFilerViews::editorStaysInView()
{
    QListView view;
    view.resize(300, 300);
    IconDelegate delegate;
    delegate.setIconSize(QSize(96, 96));
    QStandardItemModel model;
    model.appendRow(item(QStringLiteral("a rather long file name near the edge.txt")));
    QLineEdit editor(view.viewport());
    const int right = view.viewport()->width();
    QStyleOptionViewItem option = optionFor(&view, QRect(right - 110, 10, 104, 140), fixedFont());
    delegate.updateEditorGeometry(&editor, option, model.index(0, 0));
    QVERIFY(editor.geometry().right() < right);
    QCOMPARE(editor.geometry().top(), 10 + 96 + IconDelegate::Margin);
    // Room enough: at the item's left edge.
    option.rect = QRect(0, 10, 104, 140);
    QStandardItemModel shortModel;
    shortModel.appendRow(item(QStringLiteral("a")));
    delegate.updateEditorGeometry(&editor, option, shortModel.index(0, 0));
    QCOMPARE(editor.geometry().left(), 0);
}

void TestFilerViews::itemDelegateLevels()
{
    ItemDelegate delegate;
    QTreeView view;
    QStandardItemModel model;
    model.appendRow(item(QStringLiteral("x")));
    const QStyleOptionViewItem option = optionFor(&view, QRect(0, 0, 200, 30), fixedFont());
    QCOMPARE(delegate.level(), 2);
    QCOMPARE(delegate.sizeHint(option, model.index(0, 0)).height(), 34);
    const int heights[] = { 26, 34, 50, 66, 98, 98 };
    for (int i = 0; i < 8; ++i)
        delegate.increaseSize();
    QCOMPARE(delegate.level(), ItemDelegate::MaxLevel);
    for (int level = ItemDelegate::MaxLevel; level >= ItemDelegate::MinLevel; --level) {
        QCOMPARE(delegate.level(), level);
        QCOMPARE(delegate.sizeHint(option, model.index(0, 0)).height(), heights[level - 1]);
        // Painting at every level reads only its table.
        QImage image(200, 100, QImage::Format_ARGB32);
        QPainter painter(&image);
        delegate.paint(&painter, option, model.index(0, 0));
        delegate.decreaseSize();
    }
    delegate.decreaseSize();
    QCOMPARE(delegate.level(), ItemDelegate::MinLevel);
    QCOMPARE(ItemDelegate::iconSide(6), 96);
    QCOMPARE(ItemDelegate::iconSide(7), 96);
    QCOMPARE(ItemDelegate::iconSide(0), 24);
}

void TestFilerViews::nullPreviewPaintsIcon_data()
{
    QTest::addColumn<QVariant>("preview");
    QTest::newRow("null image") << QVariant::fromValue(QImage());
    QTest::newRow("empty image") << QVariant::fromValue(QImage(0, 10, QImage::Format_ARGB32));
    QTest::newRow("not an image") << QVariant(QStringLiteral("text"));
}

void TestFilerViews::nullPreviewPaintsIcon()
{
    QFETCH(QVariant, preview);
    QListView view;
    IconDelegate delegate;
    delegate.setIconSize(QSize(96, 96));
    QStandardItemModel model;
    model.appendRow(item(QStringLiteral("plain")));
    model.appendRow(item(QStringLiteral("plain"), preview));
    QVERIFY(IconDelegate::previewOf(model.index(1, 0)).isNull());
    const QSize size(120, 140);
    const QImage without = paintItem(&delegate, &view, model.index(0, 0), size, fixedFont());
    const QImage with = paintItem(&delegate, &view, model.index(1, 0), size, fixedFont());
    QCOMPARE(with, without);
    QCOMPARE(delegate.sizeHint(optionFor(&view, QRect(0, 0, 120, 140), fixedFont()), model.index(1, 0)),
             delegate.sizeHint(optionFor(&view, QRect(0, 0, 120, 140), fixedFont()), model.index(0, 0)));
}

// The icon view as shown: a photograph framed by the shadow, a PNG with a
// transparent background without it.
void TestFilerViews::iconViewGrab()
{
    Filer* filer = f->newFiler();
    FilerIconView* view = filer->iconView();
    filer->setViewMode(Filer::ViewIcons);
    QStandardItemModel model;
    model.appendRow(item(QStringLiteral("photo.jpg"), opaquePhoto(QSize(90, 60))));
    model.appendRow(item(QStringLiteral("logo.png"), transparentPng(QSize(90, 60))));
    view->setModel(&model);
    view->setFont(fixedFont());
    filer->showFilesView();
    f->pane->resize(600, 400);
    f->pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->pane.get()));
    QTRY_VERIFY(view->visualRect(model.index(1, 0)).isValid());
    const QImage shot = view->viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QColor base = shot.pixelColor(2, 2);
    for (int row = 0; row < 2; ++row) {
        const QRect itemRect = view->visualRect(model.index(row, 0));
        const QRect image = view->iconDelegate()->previewRect(QSize(90, 60), itemRect);
        // A band just below the image, where the shadow's bottom edge lies.
        int marked = 0;
        for (int x = image.left() + 5; x < image.right() - 5; ++x)
            marked += shot.pixelColor(x, image.bottom() + 2) != base;
        QCOMPARE(marked > 0, row == 0);
    }
    view->setModel(filer->proxy());
}

namespace {
// Counts the reads of the preview itself.
class PreviewCountingModel : public QStandardItemModel
{
public:
    QVariant data(const QModelIndex& index, int role) const override
    {
        if (role == VfsModel::PreviewRole)
            ++asked;
        return QStandardItemModel::data(index, role);
    }
    mutable int asked = 0;
};
} // namespace

// A layout measures every row of a folder: that must not ask the file model
// for every preview (it would queue them all in row order); painting does.
void TestFilerViews::onlyPaintingAsksForPreviews()
{
    QListView view;
    IconDelegate delegate;
    delegate.setIconSize(QSize(96, 96));
    PreviewCountingModel model;
    model.appendRow(item(QStringLiteral("photo.jpg"), opaquePhoto(QSize(90, 60))));
    model.appendRow(item(QStringLiteral("later.jpg")));
    const QStyleOptionViewItem option = optionFor(&view, QRect(0, 0, 120, 140), fixedFont());
    // The preview at hand still widens its item.
    QCOMPARE(delegate.sizeHint(option, model.index(0, 0)).width(),
             int(90 + IconDelegate::PreviewExtraWidth) + IconDelegate::Margin);
    delegate.sizeHint(option, model.index(1, 0));
    QCOMPARE(model.asked, 0);
    paintItem(&delegate, &view, model.index(1, 0), QSize(120, 140), fixedFont());
    QVERIFY(model.asked > 0);
}

// A Filer in icon view on a folder of the own machine with many pictures,
// one load at a time. While a row of the first screen loads, the view goes
// to the end of the folder: the rows shown there load next, before the
// rest of the first screen and before anything never shown.
void TestFilerViews::shownRowsLoadFirst()
{
    GatedPreview preview;
    GateOpener opener{ preview };
    RigPeer* peer = f->rig->ownPeer();
    const QString root = f->rig->root(peer) + QStringLiteral("/pictures");
    QStringList files;
    for (int i = 0; i < 150; ++i)
        files << QStringLiteral("pic%1.png").arg(i, 3, 10, QLatin1Char('0'));
    FilerFixture::makeDirs(root, { QString() });
    FilerFixture::makeFiles(root, files);
    FilerFixture::modelOf(peer)->setPreviewLoadLimit(1);
    Filer* filer = f->newFiler();
    filer->setPeer(peer);
    filer->setViewMode(Filer::ViewIcons);
    f->pane->resize(600, 400);
    f->pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(f->pane.get()));
    filer->gotoPath(root);
    FilerIconView* view = filer->iconView();
    QAbstractItemModel* model = view->model();
    QTRY_VERIFY_WITH_TIMEOUT(filer->path() == root && model->rowCount(view->rootIndex()) == 150, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(preview.inside() == 1, 30000);

    const QModelIndex last = model->index(149, 0, view->rootIndex());
    QTRY_VERIFY_WITH_TIMEOUT((view->scrollToBottom(), view->visualRect(last).intersects(view->viewport()->rect())),
                             30000);
    view->viewport()->repaint();
    QSet<QString> shown;
    for (int row = 0; row < 150; ++row) {
        const QModelIndex index = model->index(row, 0, view->rootIndex());
        if (view->visualRect(index).intersects(view->viewport()->rect()))
            shown.insert(index.data(VfsModel::NameRole).toString());
    }
    QVERIFY(shown.size() >= 2 && shown.size() < 75);
    QVERIFY(shown.contains(QStringLiteral("pic149.png")));
    const QString firstScreen = preview.started().value(0);
    QVERIFY(!shown.contains(firstScreen));
    for (int k = 1; k <= shown.size(); ++k) {
        preview.pass();
        QTRY_VERIFY_WITH_TIMEOUT(preview.done() == k, 30000);
    }
    QTRY_VERIFY_WITH_TIMEOUT(preview.started().size() > shown.size(), 30000);
    const QStringList next = preview.started().mid(1, shown.size());
    QCOMPARE(QSet<QString>(next.begin(), next.end()), shown);
}

QTEST_MAIN(TestFilerViews)
#include "tst_filerviews.moc"
