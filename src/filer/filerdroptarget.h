#pragma once

#include <QModelIndexList>
#include <QPersistentModelIndex>
#include <QString>

#include <functional>

class Filer;
class QAbstractItemView;
class QDragEnterEvent;
class QDropEvent;

// The drags of a Filer view, out of it and onto it: where a drag over the
// view would drop (the directory under the pointer, marked in the model,
// else the directory of the item under it, else the view's root), the mark
// that goes once the drag moves on, drops or ends, and the drags the view
// started.
class FilerDropTarget
{
public:
    // clearMark is called with the path whose drop mark must go.
    FilerDropTarget(QAbstractItemView* view, Filer* filer, std::function<void(const QString&)> clearMark);

    QString path() const { return m_path; }
    int dragsStarted() const { return m_dragsStarted; }

    // Runs the drag of these items out of the view; once it is over,
    // wherever it ended, the mark it left in the view goes.
    void startDrag(const QModelIndexList& indexes);
    // Takes a drag the Filer takes (and activates the window), or ignores it.
    void enter(QDragEnterEvent* event);
    // The drag is over this index of the view (invalid: empty space).
    void moveOver(const QModelIndex& index);
    // Hands the drop to the Filer with the target, whose mark then goes.
    void drop(QDropEvent* event);
    // Forgets the target; its mark goes.
    void clear();

private:
    void setTarget(const QModelIndex& index);

    QAbstractItemView* m_view;
    Filer* m_filer;
    std::function<void(const QString&)> m_clearMark;
    QPersistentModelIndex m_index;
    QString m_path;
    int m_dragsStarted = 0;
};
