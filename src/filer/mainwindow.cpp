#include "filer/mainwindow.h"

#include "core/appsettings.h"
#include "core/idatabase.h"
#include "core/logger.h"
#include "manager/connectionmanager.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QSettings>
#include <QtQml>

class MainWindowPrivate
{
public:
    ConnectionManager* connectionManager = nullptr;
    IDatabase* database = nullptr;
    bool networkEnabled = false;
};

namespace {

void registerQmlTypes()
{
    static bool registered = false;
    if (registered)
        return;
    registered = true;
    const char* uri = "com.orvanti.mirk";
    qmlRegisterType<IPeer>(uri, 1, 0, "Peer");
    qmlRegisterType<PeerModel>(uri, 1, 0, "PeerModel");
    qRegisterMetaType<IPeer*>("IPeer*");
    qRegisterMetaType<PeerModel*>("PeerModel*");
}

} // namespace

MainWindow::MainWindow(ConnectionManager* connectionManager, IDatabase* database, QWidget* parent)
    : QMainWindow(parent), d(new MainWindowPrivate)
{
    d->connectionManager = connectionManager;
    d->database = database;
    registerQmlTypes();

    //% "Velm"
    setWindowTitle(qtTrId("window-title"));
    resize(1200, 800);

    AppSettings appSettings;
    QSettings* settings = appSettings.settings();
    settings->beginGroup(QStringLiteral("MainWindow"));
    const QByteArray geometry = settings->value(QStringLiteral("geometry")).toByteArray();
    const QByteArray state = settings->value(QStringLiteral("state")).toByteArray();
    settings->endGroup();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);
    if (!state.isEmpty())
        restoreState(state);

    if (connectionManager) {
        connect(connectionManager, &ConnectionManager::started, this, &MainWindow::restoreSession,
                Qt::QueuedConnection);
        connect(this, &MainWindow::networkEnabledChanged, connectionManager, &ConnectionManager::setNetworkEnabled,
                Qt::QueuedConnection);
    }
}

MainWindow::~MainWindow() = default;

bool MainWindow::networkEnabled() const
{
    return d->networkEnabled;
}

void MainWindow::setNetworkEnabled(bool networkEnabled)
{
    d->networkEnabled = networkEnabled;
    {
        AppSettings appSettings;
        appSettings.settings()->setValue(QStringLiteral("network/enabled"), networkEnabled);
    }
    // Announced every time: enabling again restarts the listener.
    emit networkEnabledChanged(networkEnabled);
}

void MainWindow::restoreSession()
{
    // The window has no network switch yet, so a machine that was never
    // switched off listens, and can be paired.
    AppSettings appSettings;
    setNetworkEnabled(appSettings.settings()->value(QStringLiteral("network/enabled"), true).toBool());
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    {
        AppSettings appSettings;
        QSettings* settings = appSettings.settings();
        settings->beginGroup(QStringLiteral("MainWindow"));
        settings->setValue(QStringLiteral("geometry"), saveGeometry());
        settings->setValue(QStringLiteral("state"), saveState());
        settings->endGroup();
        Logger::save(settings);
    }
    event->accept();
    QCoreApplication::quit();
}
