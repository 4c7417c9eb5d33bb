#pragma once

#include <QPointer>
#include <QWidget>

#include <vector>

class Filer;
class FilerHub;
class IDatabase;
class IPeer;
class QQmlEngine;
class QSettings;
class QTabWidget;

// One side of the main window: a tab widget of Filers followed by a "+" tab
// that opens a new one, and the Filer windows opened from this side. The
// pane reports its current Filer to the hub, relays its Filers' signals,
// and writes its Filers into config.ini when it goes (one group per Filer,
// named by a hash of its uuid; dropped as soon as the user closes that
// Filer) and rebuilds them at the next start.
class FilerPane : public QWidget
{
    Q_OBJECT
    Q_PROPERTY(IPeer* peer READ peer WRITE setPeer NOTIFY peerChanged)
public:
    FilerPane(QQmlEngine* engine, IDatabase* database, FilerHub* hub, QWidget* parent = nullptr);
    ~FilerPane() override;

    // mode 1: a tab before "+"; mode 0: a window of its own.
    Filer* createFiler(int mode, const QString& uuid);
    Filer* currentFiler() const;
    int paneIndex() const;
    QTabWidget* tabWidget() const;
    // Every Filer of the pane, tabs and windows, in creation order.
    QList<Filer*> filers() const;
    int filerCount() const;
    QAction* newTabAction() const;
    bool hasMultipleTabs() const;
    void showTabBar();
    void autoHideTabBar();
    IPeer* peer() const;

    // "Filer_%1": %1 is Qt's string hash of the uuid with seed 0.
    static QString settingsGroup(const QString& uuid);
    void saveFilerSettings(Filer* filer, QSettings* settings) const;
    void removeFilerSettings(Filer* filer) const;
    // Where a Filer window opens for a pane at that global place and size.
    static QRect filerWindowGeometry(const QRect& pane, const QSize& minimum);

signals:
    void peerChanged();
    void peerClicked(const QString& uuid);
    void listerVisibilityChanged();
    void filterHidden(bool show);
    void filterMaxAge(int seconds);
    void selectionChanged(const QString& peerUuid, const QStringList& paths);
    void previewRequest(const QString& peerUuid, const QString& path);
    void openInAltFiler(const QString& peerUuid, const QString& path);
    void openNewTabRight(const QString& peerUuid, const QString& path);
    void openNewTabLeft(const QString& peerUuid, const QString& path);
    void tabsChanged();

public slots:
    void newFilerTab();
    void newFilerWindow();
    void closeFilerTab();
    void setPeer(IPeer* peer);
    void filerDeleted(QObject* object);
    void restoreFilerSettings();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void addPlusTab();
    void updateTabButtons();
    void closeTab(int index);
    void makeCurrent(Filer* filer);
    void onTabBarClicked(int index);
    void onCurrentChanged(int index);
    void onTabCloseRequested(int index);
    void openInOtherPane();
    void openInNewTab(bool right);
    void onNewTabRequest(Filer* filer, const QString& path);

    QQmlEngine* m_engine;
    IDatabase* m_database;
    std::vector<Filer*> m_filers;
    FilerHub* m_hub;
    QTabWidget* m_tabs;
    QWidget* m_plus = nullptr;
    int m_pressedTab = -1;
    Qt::MouseButton m_pressedButton = Qt::NoButton;
    QPointer<QObject> m_current; // a Filer; compared while it is being destroyed
    int m_buttons = 0;
    int m_paneIndex = -1;
};
