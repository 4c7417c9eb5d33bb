#pragma once

#include "filer/filer.h"

#include <QPersistentModelIndex>
#include <QPointer>
#include <QPoint>

#include <deque>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QStatusBar;
class VfsManager;
class VfsModel;

class FilerPrivate
{
public:
    explicit FilerPrivate(Filer* q) : q(q) {}

    VfsModel* model() const;
    QModelIndex sourceRoot() const;
    void setBreadCrumbProperty(const char* name, const QVariant& value);
    void releaseRetained();
    bool isActive() const;
    // Records what a shared file action did; true in the active Filer.
    bool act(const QString& what);

    Filer* q;
    FilerHub* hub = nullptr;
    VfsManager* vfsManager = nullptr;
    int viewMode = Filer::ViewNone;
    std::vector<int> visibleColumns;
    QPointer<IPeer> peer;
    IDatabase* database = nullptr;
    int buttons = 0;
    QStackedWidget* pages = nullptr;
    QAbstractItemView* currentView = nullptr;
    FilerIconView* iconView = nullptr;
    FilerTreeView* treeView = nullptr;
    QLabel* statusLabel = nullptr;
    QStatusBar* statusBar = nullptr;
    QWidget* filesPage = nullptr;
    QQuickWidget* machineListPage = nullptr;
    QQuickWidget* peerViewPage = nullptr;
    QQuickWidget* topNavigation = nullptr;
    QObject* peerViewRoot = nullptr;
    VfsSortFilterProxyModel* proxy = nullptr;
    QItemSelectionModel* selectionModel = nullptr;
    QQmlEngine* engine = nullptr;
    QString pendingPath;
    QPoint pressPos;
    QAction* peerViewAction = nullptr;
    QAction* machineListAction = nullptr;
    QAction* largerAction = nullptr;
    QAction* smallerAction = nullptr;
    QMenu* contextMenu = nullptr;
    std::deque<FilerHistoryEntry> history;
    VfsCopyDto* clipboard = nullptr;

    // The use this Filer holds: the model it was taken on and the path.
    QPointer<VfsModel> retainedModel;
    QString retainedPath;
    // A success answer without an index is resolved again once.
    QString retriedPath;
    // The row made current when a directory's first rows came.
    QPersistentModelIndex autoCurrent;
    QString uuid;
    int actionsReached = 0;
    QStringList actedOn;

    // ---- copy, cut, paste and the copy marks (filerclipboard.cpp)

    // ---- file actions, context menu, reveal, properties and share
    // (filerfileactions.cpp)
    // Column 0 of every selected row, each once, in the selection's order;
    // at most `limit` when given.
    QModelIndexList selectedEntries(int limit = -1) const;
    bool showsOwnMachine() const;
    // Asks the desktop's file manager to show the item; when no such
    // service answers, opens the folder that holds it; the status bar says
    // when both fail.
    void revealInFileManager(const QString& path);
    void openContainingFolder(const QString& path);

    // ---- opening files with applications, extract and preview
    // (filerlaunch.cpp)

    // ---- trash, delete, new folder and rename (filerfileops.cpp)

    // ---- drag and drop (filerdragdrop.cpp)
};
