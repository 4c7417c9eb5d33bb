#pragma once

#include <QModelIndex>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class FilerHub;
class FilerIconView;
class FilerPrivate;
class FilerTreeView;
class IDatabase;
class IPeer;
class QAbstractItemView;
class QAction;
class QDropEvent;
class QItemSelection;
class QItemSelectionModel;
class QMenu;
class QMimeData;
class QQmlEngine;
class QQuickWidget;
class QStackedWidget;
class QWheelEvent;
class VfsSortFilterProxyModel;
struct VfsCopyDto;
struct VfsMakeDirectoryJob;
struct VfsMoveJob;

// One place of the back history: a peer and a path (or "%peerview",
// "%machinelist").
struct FilerHistoryEntry
{
    QString peerUuid;
    QString path;
};

// One file-manager pane bound to one peer: a breadcrumb bar over three
// pages (the files page with the list, column and icon views and a status
// bar; the peer page of the peer's drives and shares; the list of all
// machines). It binds the peer's file model through one sort and filter
// proxy and one selection model shared by both views, goes to paths
// (resolving them through the model first when they are not loaded yet),
// keeps a back history of 20 places and holds one use of the directory it
// shows, on the model it took it from.
//
// Pseudo paths: "%home" (the own machine's home folder; switches to the own
// peer), "%peerview" and "%shares" (the peer page), "%machinelist", and ""
// (the first top-level row of the model).
class Filer : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(IPeer* peer READ peer WRITE setPeer NOTIFY peerChanged)
    Q_PROPERTY(int viewMode READ viewMode WRITE setViewMode NOTIFY viewModeChanged)
    Q_PROPERTY(QString uuid READ uuid WRITE setUuid)
public:
    enum ViewMode { ViewList = 0, ViewColumns = 1, ViewIcons = 2, ViewNone = 3 };
    Q_ENUM(ViewMode)

    static constexpr int HistoryLimit = 20;

    Filer(QQmlEngine* engine, IDatabase* database, FilerHub* hub, QWidget* parent = nullptr);
    // Only for the QML type registration; never shown.
    Filer();
    ~Filer() override;

    IPeer* peer() const;
    int viewMode() const;
    void setViewMode(int mode);
    bool isStandalone() const;
    void showStatusMessage(const QString& text, int timeout);
    void pushHistory(const FilerHistoryEntry& entry);

    // For the views and the tests.
    QString uuid() const;
    void setUuid(const QString& uuid);
    QList<FilerHistoryEntry> history() const;
    QString pendingPath() const;
    QStackedWidget* pages() const;
    QWidget* filesPage() const;
    QQuickWidget* peerViewPage() const;
    QQuickWidget* machineListPage() const;
    QQuickWidget* topNavigation() const;
    QAbstractItemView* currentView() const;
    FilerTreeView* treeView() const;
    FilerIconView* iconView() const;
    VfsSortFilterProxyModel* proxy() const;
    QItemSelectionModel* selectionModel() const;
    QList<int> visibleColumns() const;
    // The path this Filer holds a use of, empty when none.
    QString retainedPath() const;

    // Drag and drop of files (the views call these).
    QPixmap createDragPixmap(const QModelIndexList& indexes) const;
    QMimeData* createDragMimeData(const QModelIndexList& indexes) const;
    void handleDrop(QDropEvent* event, const QString& dropTargetPath);

    // How often a shared file action reached this Filer, and what it did in
    // the active Filer (the file operations come with their own work).
    int actionsReached() const;
    QStringList actedOn() const;

    // ---- file actions, context menu, reveal, properties, share
    // The launcher's applications for its current selection: the first
    // directly in the menu, then extraAction when it is enabled, then the
    // others under "Open with". Uses no Filer; the node view calls it too.
    static void updateOpenWithMenu(QMenu* menu, QAction* extraAction);
    // The item menu, once a right click made it; null before.
    QMenu* contextMenu() const;
    // The status bar's message and the free-space label beside it.
    QString statusMessage() const;
    QString statusSpaceText() const;

    // ---- trash, delete, new folder and rename

    // Why a name typed for a new folder or a rename cannot be sent to a
    // peer whose separator is separator; empty when it can. The one check
    // of such names: nothing else decides it.
    static QString refusedNameReason(const QString& name, QChar separator);
    // New folder and rename requests whose answer has not come yet.
    int pendingRequests() const;

    // ---- drag and drop

    // The uuid of the machine that holds the dragged items; absent when it
    // is this machine.
    static QString peerUuidFormat();
    // Another machine's dragged items: their paths on that machine as UTF-8,
    // one per line, at most MaxRemotePathsBytes. Never file URLs: those
    // would name files of this machine to whatever program takes the drop.
    static QString remotePathsFormat();
    static constexpr int MaxRemotePathsBytes = 64 * 1024;
    // Whether the views take a drag with this data.
    static bool acceptsDrag(const QMimeData* data);
    // Runs the drag of indexes out of view (one item per row); false when
    // there was nothing to drag. ended runs when the drag is over.
    bool startFileDrag(QAbstractItemView* view, const QModelIndexList& indexes,
                       const std::function<void()>& ended);

signals:
    void activated();
    void peerClicked(const QString& uuid);
    void peerSelected();
    void peerChanged();
    void pathChanged();
    void pathResolveStart();
    void pathResolved(const QModelIndex& index, const QStringList& lsPath);
    void pathResolveFailed();
    void viewModeChanged();
    void listerVisibilityChanged();
    void selectionChanged(const QString& peerUuid, const QStringList& paths);
    void directoryChanged(const QString& directoryName);
    void peerViewActivated();
    void filesViewActivated();
    void machineListActivated();
    void previewRequest(const QString& peerUuid, const QString& path);
    void newTabRequest(const QString& peerUuid, const QString& path);
    void aboutToClose();
    // A right click (not a gesture) on the current view; the item menu
    // opens from here.
    void contextMenuRequested(const QPoint& pos);

    // ---- copy, cut, paste and the copy marks

    // ---- file actions, context menu, reveal, properties, share

    // ---- opening files with applications, extract and preview
    // An extraction started from this Filer has ended: the item it made,
    // or the failure shown in the status bar.
    void extractionFinished(const QString& path);
    void extractionFailed(const QString& message);

    // ---- trash, delete, new folder and rename

    // ---- drag and drop

public slots:
    void setButtons(int buttons);
    void setPeer(IPeer* peer);
    void gotoPath(const QString& path);
    void setCurrentIndexToPath(const QString& path);
    void resolvePath(const QString& pathList);
    QString path() const;
    QStringList pathList() const;
    QStringList displayPath() const;
    QString currentItemPath() const;
    void onActivated(const QModelIndex& index);
    void onDriveClicked(const QModelIndex& index);
    void onPathChanged();
    void onHomeClicked();
    void onBreadCrumpClicked(int index);
    void onBreadCrumpDriveClicked(const QString& path);
    void onBreadCrumpPathEdited(const QString& path);
    void onMachineListPeerClicked(IPeer* peer);
    void adjustBreadCrumpHeight();
    void activateCurrent();
    void onUpClicked();
    void onBackClicked();
    void onForwardClicked();
    void onCopyActionTriggered();
    void onPasteActionTriggered();
    void onTrashActionTriggered();
    void onDeleteActionTriggered();
    void onNewFolderActionTriggered();
    void onRenameActionTriggered();
    void onRenameEditDone(const QModelIndex& index, const QString& name);
    void onPathResolved(int status, const QString& pathList);
    void onShowPropertiesActionTriggered();
    void onShowInExplorerActionTriggered();
    void onSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void clearMarkedFiles();
    void viewAsIcons();
    void viewAsList();
    void viewAsColumns();
    void selectNextItem();
    void selectPreviousItem();
    void showPeerView();
    void showFilesView();
    void showMachineList();
    void onEditPeerAcl(const QString& peerUuid, const QString& aclUuid);
    void filterHidden(bool show);
    void filterMaxAge(int seconds);
    void increaseItemSize();
    void decreaseItemSize();
    bool viewWheelEvent(QWheelEvent* event);
    void onActiveFilerChanged();
    void onVfsModelDataChanged(const QModelIndex& topLeft, const QModelIndex& bottomRight, const QVector<int>& roles);
    void onPeerLinkStateChanged();
    void onExtractActionTriggered();
    void onPeerButtonClicked();
    void onSharesButtonClicked();
    void clearDropTargetPath(const QString& path);
    void onCustomContextMenuRequested(const QPoint& pos);
    void updateFileActions();
    void updateViewModeActions();

    // ---- copy, cut, paste and the copy marks
    // Hand a request straight to this Filer's job starter.
    void onCopyRequest(const VfsCopyDto& dto);
    void onMoveRequest(const VfsCopyDto& dto);
    // Files of another machine to be opened with an application: the
    // active Filer checks them and hands their copy into the private launch
    // directory to the hub, which keeps the launch until that copy has
    // ended (also after this Filer is closed).
    void onDeferAppLaunch(int appId, const QString& peerUuid, const std::vector<QString>& paths);

    // ---- file actions, context menu, reveal, properties, share
    void onContextMenuActionTriggered(QAction* action);
    void onOpenInActionTriggered();
    void onShareTriggered();
    void onShareDriveTriggered();

    // ---- opening files with applications, extract and preview
    // Opens a file of the bound peer with its default application; a file
    // no application opens says so in the status bar.
    void openWithDefaultApplication(const QString& path);
    // A launch of the application launcher failed: shown by the active Filer.
    void onLaunchFailed(const QString& message);
    // Space on a view whose single selected file the preview action does not
    // take (another machine's file, a type the preview does not read): asks
    // for the preview anyway, so that the window can say why there is none.
    void requestPreviewOfSelection();

    // ---- trash, delete, new folder and rename
    void onDeleteJobFinished();
    void onDeleteJobAborted();
    void onDeleteJobUpdated();
    void onDeleteJobUpdatedTrashFailedAskDelete();
    void onVfsMakeDirectoryJobUpdate(VfsMakeDirectoryJob* job);
    void onVfsMoveJobUpdate(VfsMoveJob* job);

    // ---- drag and drop

protected:
    bool event(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    friend class FilerPrivate;
    std::unique_ptr<FilerPrivate> d;
};
