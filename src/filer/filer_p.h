#pragma once

#include "filer/filer.h"
#include "filer/filerrequests.h"

#include <QItemSelection>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QPoint>

#include <deque>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QStatusBar;
class QImage;
class VfsDeleteJob;
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
    VfsManager* vfsManager = nullptr; // this Filer's delete jobs
    // Where copies and moves start: the hub's job starter, which outlives
    // this Filer (this Filer's own without a hub).
    VfsManager* transfers() const;
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
    // The file model of the peer the clipboard's entries belong to.
    VfsModel* clipboardSourceModel() const;
    // Clears the copy marks of the clipboard's entries in their peer's
    // model, which every Filer showing them reads.
    void clearCopyMarks();
    void setPasteEnabled(bool enabled);

    // ---- file actions, context menu, reveal, properties and share
    // (filerfileactions.cpp)
    // The selection's or the folder's text, under the bar's passing
    // messages.
    QLabel* selectionLabel = nullptr;
    // The paths of a large selection for selectionChanged, built a slice
    // per pass of the event loop; a newer selection drops an older build.
    void buildSelectionPaths();
    void continueSelectionPaths();
    struct SelectionPaths
    {
        QItemSelection ranges;
        QString peerUuid;
        int range = 0;
        int row = -1;
        QStringList paths;
    };
    SelectionPaths selectionPaths;
    // Counts the selections; a slice scheduled for an older one does nothing.
    quint64 selectionPathsGeneration = 0;
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
    // The single selected entry's path when it is a file (not a folder or
    // drive), else empty.
    QString singleSelectedFile() const;
    // Selects the item as soon as the shown directory lists it (an
    // extraction's result may come after the first look).
    void selectWhenListed(const QString& path);
    void onRowsListed();
    QString pendingSelection;
    QString pendingSelectionDirectory;
    bool rowsListedHooked = false;

    // ---- trash, delete, new folder and rename (filerfileops.cpp)

    // A delete or trash job of the selection (in selection order), null
    // when nothing is selected.
    VfsDeleteJob* newDeleteJob(quint32 flags);
    // Asks, in a box that does not block, whether to delete; answer runs
    // with the choice unless the job is gone by then.
    void askDelete(VfsDeleteJob* job, const QString& text, const std::function<void(bool)>& answer);
    // The status bar text of a failed new folder or rename.
    void showRequestFailure(const QString& what, quint8 status, quint32 existing);
    // The shown directory, or the one that holds the first selected item.
    QString newFolderParent() const;

    std::unique_ptr<FilerRequests> requests = std::make_unique<FilerRequests>(q);

    // ---- drag and drop (filerdragdrop.cpp)

    // Writes dropped image data into a new file of dir (never over one) off
    // the window's thread; the outcome shows in the status bar.
    void writeDroppedImage(const QImage& image, const QByteArray& format, const QString& dir,
                           const QString& fileName);
    void clearDropMark(const QString& path);
};
