#pragma once

#include <QPointer>
#include <QStringList>
#include <QWidget>

class FilerHub;
class IPeer;
class QLabel;

// One file-manager view of one peer: its pages, history, views and file
// operations. Stand-in: it holds a peer, a path and a view mode, shows them
// as text, follows the shared actions (acting only while it is the hub's
// active Filer) and carries the signals and slots the panes and the main
// window use; the pages, views and operations come later.
class Filer : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(int viewMode READ viewMode WRITE setViewMode NOTIFY viewModeChanged)
public:
    enum ViewMode { ViewList = 0, ViewColumns = 1, ViewIcons = 2, ViewNone = 3 };
    Q_ENUM(ViewMode)

    Filer(FilerHub* hub, const QString& uuid, QWidget* parent = nullptr);
    ~Filer() override;

    QString uuid() const;
    IPeer* peer() const;
    QString path() const;
    int viewMode() const;

    // How often a shared file action reached this Filer, and how often it
    // acted on one (only while it was the hub's active Filer).
    int actionsReached() const;
    QStringList actedOn() const;

signals:
    void activated();
    void peerSelected();
    void peerChanged();
    void peerClicked(const QString& uuid);
    void selectionChanged(const QString& peerUuid, const QStringList& paths);
    void directoryChanged(const QString& path);
    void viewModeChanged();

public slots:
    void setPeer(IPeer* peer);
    void setViewMode(int mode);
    QString resolvePath(const QString& path);
    void gotoPath(const QString& path);

    void onCopyActionTriggered();
    void onPasteActionTriggered();
    void onTrashActionTriggered();
    void onDeleteActionTriggered();
    void onExtractActionTriggered();
    void onNewFolderActionTriggered();
    void onRenameActionTriggered();
    void clearMarkedFiles();
    void viewAsList();
    void viewAsColumns();
    void viewAsIcons();
    void filterHidden(bool show);
    void onShowPropertiesActionTriggered();
    void onShowInExplorerActionTriggered();

protected:
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    bool act(const QString& what);
    void updateText();

    FilerHub* m_hub;
    QString m_uuid;
    QPointer<IPeer> m_peer;
    QString m_path;
    int m_viewMode = ViewColumns;
    int m_reached = 0;
    QStringList m_acted;
    QLabel* m_label;
};
