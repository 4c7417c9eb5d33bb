#include "filer/filerdroptarget.h"

#include "core/logger.h"
#include "filer/filer.h"
#include "models/vfsmodel.h"

#include <QAbstractItemView>
#include <QDragEnterEvent>
#include <QPointer>

FilerDropTarget::FilerDropTarget(QAbstractItemView* view, Filer* filer, std::function<void(const QString&)> clearMark)
    : m_view(view), m_filer(filer), m_clearMark(std::move(clearMark))
{
}

void FilerDropTarget::startDrag(const QModelIndexList& indexes)
{
    if (!m_filer)
        return;
    // The drag runs its own event loop: the view (and this with it) may be
    // gone when it returns.
    QPointer<QAbstractItemView> view(m_view);
    const bool started = m_filer->startFileDrag(m_view, indexes, [this] { clear(); });
    if (started && view)
        ++m_dragsStarted;
}

void FilerDropTarget::enter(QDragEnterEvent* event)
{
    if (Filer::acceptsDrag(event->mimeData())) {
        event->acceptProposedAction();
        m_view->activateWindow();
    } else {
        event->ignore();
    }
}

void FilerDropTarget::setTarget(const QModelIndex& index)
{
    m_index = index;
    m_path = index.data(VfsModel::PathRole).toString();
}

void FilerDropTarget::moveOver(const QModelIndex& index)
{
    if (index != QModelIndex(m_index) && !m_path.isEmpty())
        m_clearMark(m_path);
    // A directory takes the drop in its name column (the only column of
    // the icons); another item's drop goes to its directory.
    if (index.isValid() && index.column() == 0
        && index.data(VfsModel::TypeRole).toInt() == VfsModel::DirectoryType) {
        setTarget(index);
        m_view->model()->setData(index, index.data(VfsModel::FlagsRole).toInt() | VfsModel::DropTargetFlag,
                                 VfsModel::FlagsRole);
    } else if (index.isValid()) {
        setTarget(index.parent());
        Logger::log(Logger::NFO2, "drag move, drop target: %s", qUtf8Printable(m_path));
    } else {
        setTarget(m_view->rootIndex());
    }
}

void FilerDropTarget::drop(QDropEvent* event)
{
    if (m_path.isEmpty() || !m_filer)
        return;
    m_filer->handleDrop(event, m_path);
    clear();
}

void FilerDropTarget::clear()
{
    if (!m_path.isEmpty())
        m_clearMark(m_path);
    m_path.clear();
    m_index = QPersistentModelIndex();
}
