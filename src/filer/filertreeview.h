#pragma once

#include "filer/filerdroptarget.h"

#include <QPersistentModelIndex>
#include <QTreeView>

class Filer;
class ItemDelegate;

// The list and column modes of a Filer's files page: rows in six heights,
// columns sized once the layout settles (deferred and coalesced over bursts
// of resizes), drags of the selection and drop-target marks on directories
// in the name column.
class FilerTreeView : public QTreeView
{
    Q_OBJECT
public:
    explicit FilerTreeView(Filer* parent);

    ItemDelegate* itemDelegate0() const;
    int polishState() const;
    QString dropTargetPath() const;
    int dragsStarted() const;

    // Hides or shows a column; for column 0 the widths are polished again.
    void setColumnHiddenPolished(int column, bool hidden);

    void setModel(QAbstractItemModel* model) override;
    void setRootIndex(const QModelIndex& index) override;

public slots:
    // Every row of the shown directory as one range of whole rows, the
    // selection QTreeView would make, without its walk over every shown row
    // (a range per row on the way, a tenth of a second for 100,000 rows).
    // The rows are a flat list: items are not expandable here and no row is
    // hidden.
    void selectAll() override;

signals:
    void viewActivated();
    void clearDropTarget(const QString& path);

public slots:
    void increaseItemSize();
    void decreaseItemSize();
    void polishColumWidths();

protected:
    void rowsInserted(const QModelIndex& parent, int start, int end) override;
    void resizeEvent(QResizeEvent* event) override;
    void enterEvent(QEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    int sampleWidth(const QStringList& samples) const;
    void stepSize(bool larger);

    ItemDelegate* m_delegate;
    int m_polishState = 0;
    bool m_hovered = false;
    bool m_accessWanted = false;
    QPoint m_pressPos;
    FilerDropTarget m_drop;
};
