#pragma once

#include <QPointer>
#include <QWidget>

#include <vector>

class Filer;
class FilerHub;
class IDatabase;
class IPeer;
class QQmlEngine;
class QTabWidget;

// One side of the main window: a tab widget of Filers. Stand-in: tabs of
// stand-in Filers with the new-tab and close-tab keys, the current Filer
// reported to the hub, and the signals, slots and calls the main window
// uses; saved tabs, the "+" tab, Filer windows and the open-in-other-pane
// keys come later.
class FilerPane : public QWidget
{
    Q_OBJECT
public:
    FilerPane(QQmlEngine* engine, IDatabase* database, FilerHub* hub, QWidget* parent = nullptr);
    ~FilerPane() override;

    // mode 1: a tab; mode 0 (a window of its own) is made a tab as well for now.
    Filer* createFiler(int mode, const QString& uuid);
    Filer* currentFiler() const;
    int filerCount() const;
    bool hasMultipleTabs() const;
    void showTabBar();
    void autoHideTabBar();

signals:
    void peerChanged();
    void peerClicked(const QString& uuid);
    void listerVisibilityChanged();
    void filterHidden(bool show);
    void filterMaxAge(int seconds);
    void selectionChanged(const QString& peerUuid, const QStringList& paths);
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

private:
    void makeCurrent(Filer* filer);

    QQmlEngine* m_engine;
    IDatabase* m_database;
    FilerHub* m_hub;
    QTabWidget* m_tabs;
    std::vector<Filer*> m_filers;
    QPointer<Filer> m_current;
    bool m_adding = false;
};
