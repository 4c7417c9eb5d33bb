#pragma once

#include <QList>
#include <QMainWindow>
#include <QRect>

#include <memory>
#include <vector>

struct TransportDto;

class ConnectionManager;
class FilerHub;
class FilerPane;
class IDatabase;
class IPeer;
class JobWindows;
class MainWindowPrivate;
struct MainWindowMenusPrivate;
class QMenu;
class NodeView;
class PreviewWindow;
class QQmlEngine;
class QSplitter;
class QStackedWidget;
class UpdateNotification;
class Updater;
class VfsJob;

// The one top-level window: the shared actions of the file panes, the QML
// engine every QML widget and window shares (with the module types, the
// context properties, the theme and its image provider), a splitter with the
// left file pane and a stack of the node view page and the right file pane,
// the network switch, and the saved window state.
//
// The engine belongs to a hidden view that outlives every QML surface: the
// destructor deletes the panes, the node view and the preview window first.
class MainWindow : public QMainWindow
{
    Q_OBJECT
    Q_PROPERTY(bool networkEnabled READ networkEnabled WRITE setNetworkEnabled NOTIFY networkEnabledChanged)
public:
    // The size and place of a first start on a screen of the given
    // available size, and the splitter sizes (none for a narrow window).
    struct DefaultGeometry
    {
        QRect rect;
        QList<int> splitterSizes;
    };
    static DefaultGeometry defaultGeometry(const QSize& available);
    // Where the preview window opens first: over the right-hand side, 48
    // pixels in from each edge of the stack at that global place and size.
    static QRect previewGeometry(const QPoint& stackOrigin, const QSize& stackSize);

    MainWindow(ConnectionManager* connectionManager, IDatabase* database, QWidget* parent = nullptr);
    ~MainWindow() override;

    bool networkEnabled() const;

    QQmlEngine* engine() const;
    FilerHub* filerHub() const;
    QList<FilerPane*> filerPanes() const;
    NodeView* nodeView() const;
    PreviewWindow* previewWindow() const;
    QSplitter* splitter() const;
    QStackedWidget* rightStack() const;
    // The theme object published as "Theme"; never null.
    QObject* theme() const;
    // Whether the built-in theme stands in for a missing or broken theme file.
    bool usesBuiltInTheme() const;
    // The update dialog once made (null before), and its banner.
    Updater* updater() const;
    UpdateNotification* updateNotification() const;
    // The windows of the copy jobs; never null.
    JobWindows* jobWindows() const;
    // Adds "About velm" and, when an update site is set, "Check for
    // updates..." to the Help menu.
    void addHelpEntries(QMenu* help);
    // Root objects of the invitation dialogs (the accept dialog: the one
    // shown last, or null) and the peer menu while it is open.
    QObject* createInviteDialog() const;
    QObject* activeInvitationsDialog() const;
    QObject* processInviteDialog() const;
    QMenu* peerMenu() const;
    // Adds the checkable "Share drive" (saved with the view settings) to the
    // View menu.
    void addViewShareEntries(QMenu* view);

signals:
    void networkEnabledChanged(bool networkEnabled);

public slots:
    void onPeerSelected(IPeer* peer);
    void onPeerSelected2(const QString& peerUuid);
    void onPeerPathSelected(IPeer* peer, const QString& path);
    void onPeerPathSelected2(const QString& peerUuid, const QString& path);
    void onSelectionChanged(const QString& peerUuid, const QStringList& paths);
    void showPreview(const QString& peerUuid, const QString& path);
    void openPreview();
    void closePreview();
    void setNetworkEnabled(bool networkEnabled);
    void toggleFilepaneNodeview();
    void showAlternateFilerPane();
    void showNodeView();
    void onCopyToActionTriggered();
    void onMoveToActionTriggered();
    void onFilerPaneTabsChanged();
    void onOpenInAltFiler(const QString& peerUuid, const QString& path);
    void openNewFilerTabLeft(const QString& peerUuid, const QString& path);
    void openNewFilerTabRight(const QString& peerUuid, const QString& path);
    void onFilerTabPressed();
    // Called on the job model's thread (connected directly): opens the
    // window of a copy job.
    void onVfsJobAdded(VfsJob* job);
    void onShowPreviousPreview();
    void onShowNextPreview();
    void onPreviewClosed();
    // The preview action after a change of the active Filer.
    void onActiveFilerSelection();
    void updateRemoteMenu();
    void loadTheme(const QString& theme);
    // A new about box each time; its licences button sends the active Filer
    // to the "licenses" folder beside the program.
    void showAboutDialog();
    void openPeerMenu();
    void logActionTriggered(bool checked);
    void onInviteCopyToClipboard(const QString& url);
    void onInvitationCreate(const QString& uuid, const QString& name, const QString& url, const QString& password);
    void addInviteTextChanged(const QString& text, const QString& password);
    void addRemoteByInvitationUrl(const QString& text, const QString& password);
    bool deleteInvitation(const QString& uuid);
    void showCreateInvitationDialog();
    void showProcessInviteDialog();
    void openOnlineDocumentation();
    void showActiveInvitationsDialog();

private slots:
    // The network side has started: finish what waited for it. Once.
    void restoreSession();
    void createUpdater();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void createSharedActions();
    void registerQmlTypes();
    void loadFirstTheme();
    void connectFilerPane(FilerPane* pane);
    // The preview action and an open preview for the selection of one path
    // (empty: none, or more than one).
    void previewSelection(const QString& peerUuid, const QString& single);
    // "no-preview-available" with the item's name in the active Filer.
    void showNoPreview(const QString& peerUuid, const QString& path);
    void restoreWindowState();
    // The menu bar and the invitation dialogs (mainwindow_menus.cpp).
    void createMenus();
    void createRemoteMenu();
    void destroyMenus();
    // Copy to and Move to: the dialog, then the paste into the typed folder.
    void startCopyTo(bool move);
    void finishCopyTo(FilerPane* source, FilerPane* target, const QString& destination);
    QObject* ensureCreateInviteDialog();
    QObject* ensureActiveInvitationsDialog();
    void finishCreateInvitation(const QString& uuid, const QString& password,
                                const std::vector<TransportDto>& transports);
    ConnectionManager* connectionManager() const;
    IDatabase* database() const;

    std::unique_ptr<MainWindowPrivate> d;
    std::unique_ptr<MainWindowMenusPrivate> dm;
};
