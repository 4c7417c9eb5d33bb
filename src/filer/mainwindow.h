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
public:
    MainWindow(ConnectionManager* connectionManager, IDatabase* database, QWidget* parent = nullptr);
    ~MainWindow() override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QScopedPointer<MainWindowPrivate> d;
};
