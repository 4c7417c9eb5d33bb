#pragma once

#include "core/databasesqlite.h"
#include "core/logger.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "filer/sharedactions.h"
#include "models/vfsmodel.h"
#include "peer/ipeer.h"
#include "peer/peermodel.h"
#include "quick/themeimageprovider.h"
#include "share/sharewithdialog.h"
#include "quick/themeloader.h"
#include "support/gui/guitestrig.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlPropertyMap>
#include <QTest>
#include <QtQml>

#include <memory>

// A pane with one Filer on the rig's peers, the pane active; the QML pages
// on an engine of their own, which carries what the main window gives its
// shared engine: the theme (context property "Theme" and its image
// provider), the peer model, the shared actions and a "mainWindow" with the
// network switch the pages read.
struct FilerFixture
{
    FilerFixture()
    {
        Logger::initChannels("velm");
        static bool registered = false;
        if (!registered) {
            registered = true;
            qmlRegisterType<IPeer>("com.orvanti.mirk", 1, 0, "Peer");
            qmlRegisterUncreatableType<Filer>("com.orvanti.mirk", 1, 0, "Filer",
                                              QStringLiteral("Filer is made by its pane"));
            qRegisterMetaType<QAbstractItemModel*>("QAbstractItemModel*");
            ThemeLoader::initResources();
            ShareWithDialog::initResources();
            ThemeLoader::setThemeDirectory(QStringLiteral("/nonexistent"));
        }
        rig.reset(new GuiTestRig);
        rig->setDrivesAtSlash(true);
        engine.reset(new QQmlEngine);
        prepareEngine();
        hub.reset(new FilerHub);
        pane.reset(new FilerPane(engine.get(), rig->database(), hub.get()));
        hub->setActiveFilerPane(pane.get());
        pane->resize(800, 600);
    }
    ~FilerFixture()
    {
        pane.reset();
        // The pane's keys went with it (it made them).
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        hub.reset();
        engine.reset();
        rig.reset();
    }

    void prepareEngine()
    {
        bool builtIn = false;
        QObject* theme = ThemeLoader::createOrBuiltIn(engine.get(), ThemeLoader::themeDirectory(),
                                                      QStringLiteral("Light"), &builtIn);
        QVERIFY2(theme, "the built-in theme loads");
        theme->setParent(engine.get());
        engine->addImageProvider(QStringLiteral("theme"), new ThemeImageProvider(theme));
        mainWindow = new QQmlPropertyMap(engine.get());
        mainWindow->insert(QStringLiteral("networkEnabled"), true);
        QQmlContext* context = engine->rootContext();
        context->setContextProperty(QStringLiteral("Theme"), theme);
        context->setContextProperty(QStringLiteral("mainWindow"), mainWindow);
        context->setContextProperty(QStringLiteral("peerModel"), rig->peerModel());
        context->setContextProperty(QStringLiteral("filerNewWindowAction"), SharedActions::newWindow);
        context->setContextProperty(QStringLiteral("filerShowNodeViewAction"), SharedActions::showNodeView);
    }

    Filer* newFiler()
    {
        Filer* filer = pane->createFiler(1, QUuid::createUuid().toString());
        return filer;
    }

    static VfsModel* modelOf(IPeer* peer) { return qobject_cast<VfsModel*>(peer->vfsFileSystemModel()); }

    static void makeDirs(const QString& root, const QStringList& dirs)
    {
        for (const QString& dir : dirs)
            QDir().mkpath(root + QLatin1Char('/') + dir);
    }

    static void makeFiles(const QString& root, const QStringList& files)
    {
        for (const QString& name : files) {
            QFile file(root + QLatin1Char('/') + name);
            if (file.open(QIODevice::WriteOnly))
                file.write("velm\n");
        }
    }

    std::unique_ptr<GuiTestRig> rig;
    std::unique_ptr<QQmlEngine> engine;
    QQmlPropertyMap* mainWindow = nullptr;
    std::unique_ptr<FilerHub> hub;
    std::unique_ptr<FilerPane> pane;
};
