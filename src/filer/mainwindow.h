#pragma once

#include <QMainWindow>
#include <QScopedPointer>

class ConnectionManager;
class IDatabase;
class MainWindowPrivate;

// The main window: two file panes and the node view.
class MainWindow : public QMainWindow
{
    Q_OBJECT
    Q_PROPERTY(bool networkEnabled READ networkEnabled WRITE setNetworkEnabled NOTIFY networkEnabledChanged)
public:
    MainWindow(ConnectionManager* connectionManager, IDatabase* database, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The network switch: off until the network side has started.
    bool networkEnabled() const;

signals:
    void networkEnabledChanged(bool networkEnabled);

public slots:
    void setNetworkEnabled(bool networkEnabled);

private slots:
    // The network side has started: finish what waited for it.
    void restoreSession();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QScopedPointer<MainWindowPrivate> d;
};
