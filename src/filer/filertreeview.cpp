#include "filer/filertreeview.h"

#include "core/logger.h"
#include "filer/filer.h"
#include "filer/itemdelegate.h"
#include "models/vfsmodel.h"

#include <QApplication>

#include <algorithm>

#include <QDragEnterEvent>
#include <QHash>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QScrollBar>
#include <QTimer>

FilerTreeView::FilerTreeView(Filer* parent)
    : QTreeView(parent), m_delegate(new ItemDelegate(this)),
      m_drop(this, parent, [this](const QString& path) { emit clearDropTarget(path); })
{
    setDragEnabled(true);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setUniformRowHeights(true);
    setSortingEnabled(true);
    setContextMenuPolicy(Qt::NoContextMenu);
    setEditTriggers(QAbstractItemView::EditKeyPressed);
    header()->setSectionResizeMode(QHeaderView::Fixed);
    header()->setMinimumSectionSize(0);
    // Column widths are measured on the first rows only.
    header()->setResizeContentsPrecision(200);
    setAllColumnsShowFocus(true);
    setIndentation(20);
    setItemsExpandable(false);
    setRootIsDecorated(false);
    setContentsMargins(0, 1, 0, 1);
    setFrameShape(QFrame::NoFrame);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    verticalScrollBar()->setObjectName(QStringLiteral("VerticalScrollBar1"));
    setItemDelegateForColumn(0, m_delegate);
}

void FilerTreeView::selectAll()
{
    QItemSelectionModel* selection = selectionModel();
    QAbstractItemModel* rows = model();
    const SelectionMode mode = selectionMode();
    if (itemsExpandable() || !selection || !rows || (mode != MultiSelection && mode != ExtendedSelection)) {
        QTreeView::selectAll();
        return;
    }
    const QModelIndex root = rootIndex();
    const int count = rows->rowCount(root);
    const int columns = rows->columnCount(root);
    if (count == 0 || columns == 0)
        return;
    selection->select(QItemSelection(rows->index(0, 0, root), rows->index(count - 1, columns - 1, root)),
                      QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

ItemDelegate* FilerTreeView::itemDelegate0() const { return m_delegate; }
int FilerTreeView::polishState() const { return m_polishState; }
QString FilerTreeView::dropTargetPath() const { return m_drop.path(); }
int FilerTreeView::dragsStarted() const { return m_drop.dragsStarted(); }

void FilerTreeView::increaseItemSize()
{
    stepSize(true);
}

void FilerTreeView::decreaseItemSize()
{
    stepSize(false);
}

void FilerTreeView::stepSize(bool larger)
{
    if (!hasFocus() && !m_hovered)
        return;
    if (larger)
        m_delegate->increaseSize();
    else
        m_delegate->decreaseSize();
    if (!model())
        return;
    const QModelIndex first = model()->index(0, 0, rootIndex());
    if (first.isValid())
        emit model()->dataChanged(first, first, { Qt::SizeHintRole });
    // Uniform rows take their height from the first row once; ask again.
    scheduleDelayedItemsLayout();
}

// Room for any date in the Modified column, or any size in the Size column,
// whether or not the rows are listed yet: the widest sample text in the
// column's font, with the margins the style gives an item's text.
int FilerTreeView::sampleWidth(const QStringList& samples) const
{
    const QFontMetrics metrics(VfsModel::numberFont());
    int widest = 0;
    for (const QString& text : samples)
        widest = std::max(widest, metrics.horizontalAdvance(text));
    const int margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    return widest + 2 * margin + 2;
}

void FilerTreeView::polishColumWidths()
{
    if (!model() || model()->rowCount() == 0) {
        QTimer::singleShot(10, this, &FilerTreeView::polishColumWidths);
        return;
    }
    if (!isVisible())
        return;
    // Each column's contents are measured once (on the first rows, as far as
    // the header's precision goes): a directory of many entries costs no more.
    auto contentsWidth = [this](int column) {
        return std::max(static_cast<QAbstractItemView*>(this)->sizeHintForColumn(column),
                        header()->sectionSizeHint(column));
    };
    // The access column, where the mode shows it, only when it has
    // something to show.
    QHash<int, int> needed;
    if (m_accessWanted) {
        const int access = static_cast<QAbstractItemView*>(this)->sizeHintForColumn(VfsModel::AccessColumn);
        setColumnHidden(VfsModel::AccessColumn, access <= 21);
        if (access > 21) {
            needed[VfsModel::AccessColumn] = std::max(access, header()->sectionSizeHint(VfsModel::AccessColumn));
            setColumnWidth(VfsModel::AccessColumn, needed[VfsModel::AccessColumn]);
        }
    }
    for (int column : { int(VfsModel::SizeColumn), int(VfsModel::MTimeStringColumn) }) {
        if (!isColumnHidden(column)) {
            needed[column] = contentsWidth(column);
            const QStringList samples = column == VfsModel::MTimeStringColumn ? VfsModel::sampleMtimeTexts()
                                                                               : VfsModel::sampleSizeTexts();
            needed[column] = std::max(needed[column], sampleWidth(samples));
            setColumnWidth(column, needed[column]);
        }
    }
    header()->setStretchLastSection(true);
    // What the other columns need, not what they have: the last one is
    // stretched over whatever is left.
    int others = 0;
    for (int column = 1; column < header()->count(); ++column) {
        if (!isColumnHidden(column))
            others += needed.value(column, header()->sectionSizeHint(column));
    }
    m_polishState = 1;
    if (verticalScrollBar()->isVisible())
        others += verticalScrollBar()->width();
    const int width = this->width() - others - 32;
    if (width >= 61)
        setColumnWidth(0, width);
}

void FilerTreeView::setColumnHiddenPolished(int column, bool hidden)
{
    setColumnHidden(column, hidden);
    if (column == VfsModel::AccessColumn)
        m_accessWanted = !hidden;
    if (column == 0)
        QTimer::singleShot(10, this, &FilerTreeView::polishColumWidths);
}

void FilerTreeView::setModel(QAbstractItemModel* model)
{
    QTreeView::setModel(model);
    if (m_polishState >= 0)
        QTimer::singleShot(10, this, &FilerTreeView::polishColumWidths);
    else
        --m_polishState;
}

void FilerTreeView::setRootIndex(const QModelIndex& index)
{
    QTimer::singleShot(0, this, &FilerTreeView::polishColumWidths);
    QTreeView::setRootIndex(index);
}

void FilerTreeView::rowsInserted(const QModelIndex& parent, int start, int end)
{
    // Rows of the shown directory are laid out anew with all others that
    // come in the same pass, as the tree view would do; asked for first, the
    // layout spares the view its search for the directory among the rows it
    // shows (every row of a large directory, for each slice of its listing).
    if (parent == rootIndex())
        scheduleDelayedItemsLayout();
    QTreeView::rowsInserted(parent, start, end);
}

void FilerTreeView::resizeEvent(QResizeEvent* event)
{
    QTreeView::resizeEvent(event);
    if (m_polishState >= 0) {
        m_polishState = -1;
        QTimer::singleShot(16, this, &FilerTreeView::polishColumWidths);
    } else {
        --m_polishState;
    }
}

void FilerTreeView::enterEvent(QEvent* event)
{
    m_hovered = true;
    QTreeView::enterEvent(event);
}

void FilerTreeView::leaveEvent(QEvent* event)
{
    m_hovered = false;
    QTreeView::leaveEvent(event);
}

void FilerTreeView::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        m_pressPos = event->pos();
    QTreeView::mousePressEvent(event);
    emit viewActivated();
}

void FilerTreeView::mouseMoveEvent(QMouseEvent* event)
{
    if (!(event->buttons() & Qt::LeftButton))
        return;
    if ((event->pos() - m_pressPos).manhattanLength() >= QApplication::startDragDistance())
        m_drop.startDrag(selectionModel() ? selectionModel()->selectedRows() : QModelIndexList());
}

void FilerTreeView::dragEnterEvent(QDragEnterEvent* event)
{
    Logger::log(Logger::NFO2, "drag enter event: (%d, %d)", event->pos().x(), event->pos().y());
    const QMimeData* mime = event->mimeData();
    if (mime && Logger::isEnabled(Logger::NFO2)) {
        for (const QString& format : mime->formats()) {
            const QByteArray data = mime->data(format);
            const bool text = format == QLatin1String("text/plain") || format == QLatin1String("text/html")
                              || format == QLatin1String("text/uri-list");
            Logger::log(Logger::NFO2, "%s: %s", qUtf8Printable(format),
                        text ? data.constData() : data.toHex(' ').constData());
        }
    }
    m_drop.enter(event);
}

void FilerTreeView::dragMoveEvent(QDragMoveEvent* event)
{
    m_drop.moveOver(indexAt(event->pos()));
    event->accept();
}

void FilerTreeView::dropEvent(QDropEvent* event)
{
    m_drop.drop(event);
    event->accept();
}
