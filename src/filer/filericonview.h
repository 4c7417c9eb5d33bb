#pragma once

#include "filer/filerdroptarget.h"

#include <QListView>
#include <QPersistentModelIndex>

class Filer;
class IconDelegate;

// The icon mode of a Filer's files page: icons in four sizes (72 to 144
// pixels in steps of 24) that keep the item near the top left in place
// while Control is held for a zoom; drags of the selection and drop-target
// marks on directories.
class FilerIconView : public QListView
{
    Q_OBJECT
public:
    static constexpr int IconUnit = 24;
    static constexpr int MinStep = 3;
    static constexpr int MaxStep = 6;
    static constexpr int StartStep = 4;

    explicit FilerIconView(Filer* parent);

    IconDelegate* iconDelegate() const;
    int iconStep() const;
    QModelIndex scrollAnchor() const;
    QString dropTargetPath() const;
    // How many drags this view started (each one runs a QDrag).
    int dragsStarted() const;

signals:
    void viewActivated();
    void clearDropTarget(const QString& path);

public slots:
    void increaseItemSize();
    void decreaseItemSize();

protected:
    // What a change of selection repaints: past a few hundred rows the
    // whole viewport, instead of QListView's rectangle of every selected
    // row (all 100,000 of a select-all) clipped to the few shown.
    QRegion visualRegionForSelection(const QItemSelection& selection) const override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void applyIconStep(int step);

    int m_dragState = 0;
    IconDelegate* m_delegate;
    int m_iconStep = StartStep;
    QPoint m_pressPos;
    QPersistentModelIndex m_scrollAnchor;
    FilerDropTarget m_drop;
};
