#include "app/velmmain.h"

#include "app/quitsignals.h"

#include "core/allocatortuning.h"
#include "core/appsettings.h"
#include "core/databasesqlite.h"
#include "core/instancelock.h"
#include "core/logger.h"
#include "core/machineclassifier.h"
#include "core/startupreport.h"
#include "nodeview/nodeview.h"
#include "window/mainwindow.h"
#include "manager/connectionmanager.h"
#include "peer/invitationmodel.h"
#include "peer/peermodel.h"
#include "vfs/watch/vfswatcher.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QStandardPaths>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QTranslator>

#include <atomic>
#include <csignal>

// Milliseconds since the epoch when the process started; the KCP clock counts from here.
extern const qint64 programStartMs;
const qint64 programStartMs = QDateTime::currentMSecsSinceEpoch();

namespace {

volatile std::sig_atomic_t s_lastSignal = 0;

void onSignal(int signalNumber)
{
    s_lastSignal = signalNumber;
}

bool installHandler(int signalNumber)
{
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    return sigaction(signalNumber, &action, nullptr) == 0;
}

} // namespace

void installTranslators(QTranslator& velmTranslator, QTranslator& qtTranslator, QLocale& locale)
{
    Q_INIT_RESOURCE(translations);
    const QString velmDir = QStringLiteral(":/i18n");
    const QString velmName = QStringLiteral("velm");
    const QString separator = QStringLiteral("_");
    Logger::log(Logger::NFO1, "locale: lang: %s, country: %s:, code: %d",
                qPrintable(locale.nativeLanguageName()), qPrintable(locale.nativeCountryName()),
                int(locale.language()));
    if (!velmTranslator.load(locale, velmName, separator, velmDir)) {
        Logger::log(Logger::ERR1, "failed to load translation for locale: %s, fall back to english",
                    qPrintable(locale.name()));
        locale = QLocale(QStringLiteral("en-US"));
        if (!velmTranslator.load(locale, velmName, separator, velmDir))
            Logger::log(Logger::ERR1, "failed to load translation for locale: %s",
                        qPrintable(locale.name()));
    }
    QCoreApplication::installTranslator(&velmTranslator);

    if (qtTranslator.load(locale, QStringLiteral("qtbase"), separator, QStringLiteral(":/translations")))
        QCoreApplication::installTranslator(&qtTranslator);
    else
        Logger::log(Logger::ERR1, "failed to load translation qtbase for locale: %s",
                    qPrintable(locale.name()));
}

void showStartupProblem(const QString& text)
{
    // Only where someone can see it: the offscreen and minimal platforms
    // (tests, scripts) have stderr alone.
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal"))
        return;
    //% "Velm cannot start"
    QMessageBox::critical(nullptr, qtTrId("startup-problem-title"), text);
}

QStringList shippedTexts(const char* id)
{
    Q_INIT_RESOURCE(translations);
    QStringList texts;
    const QDir dir(QStringLiteral(":/i18n"));
    for (const QString& file : dir.entryList({ QStringLiteral("velm_*.qm") }, QDir::Files)) {
        QTranslator translator;
        if (!translator.load(dir.filePath(file)))
            continue;
        const QString text = translator.translate(nullptr, id);
        if (!text.isEmpty() && !texts.contains(text))
            texts << text;
    }
    return texts;
}

int lastSignal()
{
    return s_lastSignal;
}

QString rendererName(const QStringList& arguments)
{
    static const QString option = QStringLiteral("--renderer=");
    QString name;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments.at(i);
        if (arg.contains(option))
            name = arg.mid(option.size());
    }
    return name;
}

QStringList removeLeftoverUpdateDirectories(const QString& applicationDirectory)
{
    QStringList failed;
    const QFileInfo appDir(applicationDirectory);
    // An updated program runs from a directory named "update"; its siblings stay.
    if (appDir.fileName() == QLatin1String("update"))
        return failed;
    for (const char* name : { "/rollback", "/update" }) {
        const QString path = appDir.absoluteFilePath() + QLatin1String(name);
        QDir dir(path);
        if (!dir.exists())
            continue;
        if (!dir.removeRecursively()) {
            Logger::log(Logger::DBG1, "failed to remove %s", qPrintable(path));
            failed << path;
        }
    }
    return failed;
}

int velmMain(int argc, char** argv, const std::function<void(MainWindow&)>& shown)
{
    Logger::initChannels("velm");
    Logger::enable(Logger::ERR1);
    AllocatorTuning::apply();

    MachineClassifier machineClassifier;

    if (!installHandler(SIGHUP))
        Logger::log(Logger::ERR1, "failed to register SIGHUP handler");
    if (std::signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        Logger::log(Logger::ERR1, "failed to ignore SIGPIPE handler\n");

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (rendererName(arguments) == QLatin1String("software")) {
        QCoreApplication::setAttribute(Qt::AA_UseSoftwareOpenGL);
        qputenv("QMLSCENE_DEVICE", "softwarecontext");
    }

    // From here on SIGINT and SIGTERM wait in a socket until the window
    // exists and the event loop runs; they then close the window.
    QuitSignals::install();

    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);

    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velm"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.5.22"));
    QCoreApplication::setOrganizationName(QStringLiteral("tarnwick"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("velm.invalid"));

    AppSettings appSettings;
    Logger::load(appSettings.settings());

    const QString appDir = QCoreApplication::applicationDirPath();
    Logger::log(Logger::DBG1, "%s", qPrintable(appDir));
    removeLeftoverUpdateDirectories(appDir);

    QTranslator velmTranslator;
    QLocale locale = QLocale::system();
    QTranslator qtTranslator;
    installTranslators(velmTranslator, qtTranslator, locale);
    NodeView::setDefaultSectorNames(shippedTexts("sector-main"));

    // One instance per configuration directory, before anything in it but
    // the settings is touched; the lock ends with the process.
    const QString configDir = AppSettings::configDirectory(0);
    InstanceLock instanceLock(configDir);
    if (!instanceLock.tryLock()) {
        reportStartupProblem(instanceLock.errorString() + QStringLiteral("; this start stops"));
        if (instanceLock.heldElsewhere())
            //% "Velm is already running with the configuration directory %1."
            showStartupProblem(qtTrId("startup-another-instance").arg(configDir));
        else
            //% "Velm cannot lock its configuration directory: %1"
            showStartupProblem(qtTrId("startup-lock-failed").arg(instanceLock.errorString()));
        return StartupExitAnotherInstance;
    }

    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (!QDir(dataDir).exists())
        QDir().mkpath(dataDir);

    auto* ioThread = new QThread(&app);
    ioThread->setObjectName(QStringLiteral("ioThread"));

    VfsWatcher watcher(&app);
    PeerModel peerModel(&app);
    DatabaseSqlite database(configDir + QStringLiteral("/velm.db"), &app);
    if (!database.openError().isEmpty()) {
        reportStartupProblem(databaseProblemText(database.path(), database.openError()));
        //% "Velm cannot use its database %1: %2\nThe file was left as it is."
        showStartupProblem(qtTrId("startup-database-unusable").arg(database.path(), database.openError()));
        return StartupExitDatabaseUnusable;
    }
    InvitationModel invitationModel(&database, &app);

    auto* connectionManager = new ConnectionManager(&database);
    QObject::connect(connectionManager, &ConnectionManager::problemReported, &app, &reportStartupProblem,
                     Qt::DirectConnection);
    connectionManager->moveToThread(ioThread);
    QObject::connect(ioThread, &QThread::started, connectionManager, &ConnectionManager::start);
    QObject::connect(
        &app, &QCoreApplication::aboutToQuit, &app,
        [ioThread, connectionManager] {
            Logger::log(Logger::NFO1, "shut down io thread");
            connectionManager->deleteLater();
            ioThread->quit();
            ioThread->wait();
            // The pool's threads end here, while libcrypto can still free
            // what it keeps per thread: its exit handler, which runs before
            // Qt's global pool is torn down, forgets that state of any
            // thread still alive.
            QThreadPool::globalInstance()->waitForDone();
            // Hand over what the io thread queued for this one before it
            // stopped, such as peers announced to the peer model, so that
            // they get their owner.
            QCoreApplication::sendPostedEvents();
        },
        Qt::DirectConnection);

    MainWindow mainWindow(connectionManager, &database);
    mainWindow.show();

    // A quit signal ends the program as closing the window does, which
    // stores the window, the panes' tabs and the node view first.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::received, &mainWindow, [&mainWindow] {
        if (!mainWindow.close())
            QCoreApplication::quit();
    });

    ioThread->start(QThread::InheritPriority);

    if (shown)
        QTimer::singleShot(0, &mainWindow, [&mainWindow, &shown] { shown(mainWindow); });

    return app.exec();
}
