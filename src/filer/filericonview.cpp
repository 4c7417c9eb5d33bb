#include "filer/filericonview.h"

#include "core/logger.h"
#include "filer/filer.h"
#include "filer/icondelegate.h"
#include "models/vfsmodel.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QScrollBar>

FilerIconView::FilerIconView(Filer* parent)
    : QListView(parent), m_delegate(new IconDelegate(this)),
      m_drop(this, parent, [this](const QString& path) { emit clearDropTarget(path); })
{
    setObjectName(QStringLiteral("FilerIconView"));
    setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    setViewMode(QListView::IconMode);
    setMouseTracking(true);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setSpacing(16);
    setWordWrap(true);
    setWrapping(true);
    setSelectionRectVisible(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setDropIndicatorShown(true);
    setContextMenuPolicy(Qt::NoContextMenu);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setViewportMargins(8, 8, 0, 0);
    // Only the delegate decides the item sizes. Many items are laid out in
    // batches between other events, so that a large directory never holds
    // the event loop.
    setUniformItemSizes(false);
    setLayoutMode(QListView::Batched);
    setBatchSize(400);
    m_delegate->setIconSize(QSize(IconUnit * m_iconStep, IconUnit * m_iconStep));
    setItemDelegate(m_delegate);
}

QRegion FilerIconView::visualRegionForSelection(const QItemSelection& selection) const
{
    // More rows than a viewport ever shows at the smallest icon size.
    constexpr int kRowsWorthAWalk = 500;
    int rows = 0;
    for (const QItemSelectionRange& range : selection) {
        rows += range.height();
        if (rows > kRowsWorthAWalk)
            return QRegion(viewport()->rect());
    }
    return QListView::visualRegionForSelection(selection);
}

IconDelegate* FilerIconView::iconDelegate() const { return m_delegate; }
int FilerIconView::iconStep() const { return m_iconStep; }
QModelIndex FilerIconView::scrollAnchor() const { return m_scrollAnchor; }
QString FilerIconView::dropTargetPath() const { return m_drop.path(); }
int FilerIconView::dragsStarted() const { return m_drop.dragsStarted(); }

void FilerIconView::increaseItemSize()
{
    if (IconUnit * (m_iconStep + 1) < 160)
        ++m_iconStep;
    applyIconStep(m_iconStep);
}

void FilerIconView::decreaseItemSize()
{
    if (IconUnit * (m_iconStep - 1) > 56)
        --m_iconStep;
    applyIconStep(m_iconStep);
}

void FilerIconView::applyIconStep(int step)
{
    const int side = IconUnit * step;
    m_delegate->setIconSize(QSize(side, side));
    // Lay out now, so that the anchor can be put in place in the same call.
    scheduleDelayedItemsLayout();
    executeDelayedItemsLayout();
    if (m_scrollAnchor.isValid() && model()) {
        const QModelIndex again = model()->index(m_scrollAnchor.row(), m_scrollAnchor.column(), rootIndex());
        if (again.isValid())
            scrollTo(again, QAbstractItemView::PositionAtTop);
    }
}

void FilerIconView::keyPressEvent(QKeyEvent* event)
{
    if (event->modifiers() == Qt::ControlModifier && !m_scrollAnchor.isValid()) {
        for (int y = 32; y < 160; y += 16) {
            const QModelIndex index = indexAt(QPoint(32, y));
            if (index.isValid()) {
                m_scrollAnchor = index;
                Logger::log(Logger::NFO2, "scroll lock on: %s",
                            qUtf8Printable(index.data(VfsModel::NameRole).toString()));
                break;
            }
        }
    }
    QListView::keyPressEvent(event);
}

void FilerIconView::keyReleaseEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Control)
        m_scrollAnchor = QPersistentModelIndex();
    QListView::keyReleaseEvent(event);
}

void FilerIconView::mousePressEvent(QMouseEvent* event)
{
    m_dragState = 0;
    m_pressPos = QPoint();
    if (event->button() == Qt::LeftButton) {
        if (indexAt(event->pos()).isValid()) {
            m_pressPos = event->pos();
            m_dragState = 2;
        } else {
            m_dragState = 1;
        }
    }
    QListView::mousePressEvent(event);
    emit viewActivated();
}

void FilerIconView::mouseReleaseEvent(QMouseEvent* event)
{
    m_dragState = 0;
    QListView::mouseReleaseEvent(event);
}

void FilerIconView::mouseMoveEvent(QMouseEvent* event)
{
    const bool left = event->buttons() & Qt::LeftButton;
    if (m_dragState != 2) {
        // A press on empty space draws the rubber band; no drag starts.
        if (left)
            QListView::mouseMoveEvent(event);
        return;
    }
    if (!left)
        return;
    event->accept();
    if ((event->pos() - m_pressPos).manhattanLength() >= QApplication::startDragDistance()) {
        m_dragState = 0;
        m_drop.startDrag(selectionModel() ? selectionModel()->selectedIndexes() : QModelIndexList());
    }
}

void FilerIconView::dragEnterEvent(QDragEnterEvent* event)
{
    Logger::log(Logger::NFO2, "drag enter");
    m_drop.enter(event);
}

void FilerIconView::dragMoveEvent(QDragMoveEvent* event)
{
    m_drop.moveOver(indexAt(event->pos()));
    event->accept();
}

void FilerIconView::dropEvent(QDropEvent* event)
{
    m_dragState = 0;
    m_drop.drop(event);
    event->accept();
}
