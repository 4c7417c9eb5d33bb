#include "core/databasesqlite.h"
#include "core/logger.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "filer/sharedactions.h"
#include "nodeview/nodeview.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "preview/previewwindow.h"
#include "quick/themeloader.h"
#include "support/gui/guitestrig.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QQuickWidget>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QSplitter>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void defaultGeometry_data();
    void defaultGeometry();
    void firstStart();
    void savedStateRestored();
    void rejectedGeometryFallsBack();
    void networkSwitch();
    void restoreSessionNetwork_data();
    void restoreSessionNetwork();
    void sharedShortcutReachesOnlyActiveFiler();
    void contextProperties();
    void themeFromFiles();
    void themeFallback_data();
    void themeFallback();
    void closeWritesSettingsAndQuits();
    void startAnnouncedAfterCloseIsIgnored();
    void shutdownWithQmlSurfacesOpen();

private:
    QSettings settings() const;
    std::unique_ptr<GuiTestRig> m_rig;
    QTemporaryDir m_themes;
};

void TestMainWindow::init()
{
    Logger::initChannels("velm");
    ThemeLoader::setThemeDirectory(m_themes.filePath(QStringLiteral("none")));
    m_rig.reset(new GuiTestRig);
}

void TestMainWindow::cleanup()
{
    m_rig.reset();
}

QSettings TestMainWindow::settings() const
{
    return QSettings(m_rig->configDirectory() + QStringLiteral("/config.ini"), QSettings::IniFormat);
}

void TestMainWindow::defaultGeometry_data()
{
    QTest::addColumn<QSize>("available");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QList<int>>("splitter");

    QTest::newRow("1920x1080") << QSize(1920, 1080) << QRect(288, 162, 1344, 756) << QList<int>{ 604, 740 };
    // 70 % would be 1680 x 910: scaled by 1440/1680 to 1440 x 780.
    QTest::newRow("2400x1300, 1440 wide") << QSize(2400, 1300) << QRect(480, 260, 1440, 780)
                                          << QList<int>{ 648, 792 };
    QTest::newRow("1000x700") << QSize(1000, 700) << QRect(150, 105, 700, 490) << QList<int>{ 315, 385 };
    QTest::newRow("70 % not above 400") << QSize(571, 500) << QRect(85, 75, 400, 350) << QList<int>{};
    QTest::newRow("odd halves") << QSize(1001, 701) << QRect(150, 105, 701, 491) << QList<int>{ 315, 386 };
}

void TestMainWindow::defaultGeometry()
{
    QFETCH(QSize, available);
    QFETCH(QRect, rect);
    QFETCH(QList<int>, splitter);
    const MainWindow::DefaultGeometry geometry = MainWindow::defaultGeometry(available);
    QCOMPARE(geometry.rect, rect);
    QCOMPARE(geometry.splitterSizes, splitter);
}

void TestMainWindow::firstStart()
{
    auto window = m_rig->createWindow();
    const MainWindow::DefaultGeometry expected =
        MainWindow::defaultGeometry(QGuiApplication::primaryScreen()->availableSize());
    QCOMPARE(window->geometry(), expected.rect);
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(window->splitter()->handleWidth(), 1);
    QCOMPARE(window->splitter()->count(), 2);
    QCOMPARE(window->splitter()->widget(0), window->filerPanes().first());
    QCOMPARE(window->rightStack()->currentWidget()->objectName(), QStringLiteral("nodeViewPage"));
    QCOMPARE(window->filerHub()->activeFilerPane(), window->filerPanes().first());
    QVERIFY(!window->networkEnabled());
    QCOMPARE(window->windowTitle(), QCoreApplication::applicationName());

    // The deferred start: both panes on the own peer, in columns.
    m_rig->manager()->announceStarted();
    for (FilerPane* pane : window->filerPanes())
        QTRY_VERIFY(pane->currentFiler() && pane->currentFiler()->peer() == m_rig->ownPeer());
    for (FilerPane* pane : window->filerPanes())
        QCOMPARE(pane->currentFiler()->viewMode(), int(Filer::ViewColumns));
    // The left Filer goes home (the rig's own peer serves a tree beside the
    // home folder, so it asks for it and waits on the peer page); the right
    // one was made beside it and took its peer and place.
    Filer* left = window->filerPanes().first()->currentFiler();
    QTRY_VERIFY(left->path() == m_rig->home() || left->pendingPath() == m_rig->home());
    QCOMPARE(window->filerPanes().last()->currentFiler()->path(), QStringLiteral("%peerview"));
}

void TestMainWindow::savedStateRestored()
{
    QByteArray geometry;
    QByteArray splitterState;
    {
        auto window = m_rig->createWindow();
        window->setGeometry(40, 50, 700, 500);
        window->splitter()->setSizes({ 200, 500 });
        geometry = window->saveGeometry();
        splitterState = window->splitter()->saveState();
    }
    {
        QSettings s = settings();
        s.setValue(QStringLiteral("geometry"), geometry);
        s.setValue(QStringLiteral("splitterState"), splitterState);
    }
    auto window = m_rig->createWindow();
    QCOMPARE(window->geometry(), QRect(40, 50, 700, 500));
    QCOMPARE(window->splitter()->saveState(), splitterState);
    QCOMPARE(window->splitter()->handleWidth(), 1);
}

void TestMainWindow::rejectedGeometryFallsBack()
{
    {
        QSettings s = settings();
        s.setValue(QStringLiteral("geometry"), QByteArray("not a geometry"));
    }
    auto window = m_rig->createWindow();
    const MainWindow::DefaultGeometry expected =
        MainWindow::defaultGeometry(QGuiApplication::primaryScreen()->availableSize());
    QCOMPARE(window->geometry(), expected.rect);
    if (!expected.splitterSizes.isEmpty()) {
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QCOMPARE(window->splitter()->sizes().first(), expected.splitterSizes.first());
    }
}

void TestMainWindow::networkSwitch()
{
    RigPeer* other = m_rig->addPeer(QStringLiteral("other"));
    auto* foreign = new RigPeer(QStringLiteral("{11111111-2222-3333-4444-555555555555}"));
    foreign->setType(QStringLiteral("tor-only"));
    foreign->setLinkState(IPeer::LinkUp);
    m_rig->peerModel()->addPeer(foreign);
    auto window = m_rig->createWindow();
    QSignalSpy changed(window.get(), &MainWindow::networkEnabledChanged);

    window->setNetworkEnabled(false); // the current value
    QCOMPARE(changed.count(), 0);
    QVERIFY(!settings().contains(QStringLiteral("network/enabled")));

    window->setNetworkEnabled(true);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(settings().value(QStringLiteral("network/enabled")).toBool(), true);
    QCOMPARE(other->linkState(), IPeer::LinkDown);
    QCOMPARE(m_rig->ownPeer()->linkState(), IPeer::LinkUp);
    QCOMPARE(foreign->linkState(), IPeer::LinkUp);
    QTRY_COMPARE(m_rig->manager()->calls().size(), size_t(1));
    QCOMPARE(m_rig->manager()->calls().front().enabled, true);
    QCOMPARE(m_rig->manager()->calls().front().thread, m_rig->manager()->thread());

    other->setLinkState(IPeer::LinkUp);
    window->setNetworkEnabled(false);
    QCOMPARE(other->linkState(), IPeer::LinkDown);
    QCOMPARE(settings().value(QStringLiteral("network/enabled")).toBool(), false);
    QTRY_COMPARE(m_rig->manager()->calls().size(), size_t(2));
    QCOMPARE(m_rig->manager()->calls().back().enabled, false);
    QTest::qWait(50);
    QCOMPARE(m_rig->manager()->calls().size(), size_t(2));

    // From QML too: the window's property.
    QVERIFY(window->setProperty("networkEnabled", true));
    QVERIFY(window->networkEnabled());
}

void TestMainWindow::restoreSessionNetwork_data()
{
    QTest::addColumn<int>("storedPeers"); // besides the own one
    QTest::addColumn<QVariant>("setting");
    QTest::addColumn<bool>("enabled");

    QTest::newRow("alone, no setting") << 0 << QVariant() << false;
    QTest::newRow("two peers, no setting") << 1 << QVariant() << true;
    QTest::newRow("two peers, switched off") << 1 << QVariant(false) << false;
    QTest::newRow("alone, switched on") << 0 << QVariant(true) << true;
}

void TestMainWindow::restoreSessionNetwork()
{
    QFETCH(int, storedPeers);
    QFETCH(QVariant, setting);
    QFETCH(bool, enabled);
    for (int i = 0; i < storedPeers; ++i)
        m_rig->storePeer(QUuid::createUuid().toString());
    if (setting.isValid())
        settings().setValue(QStringLiteral("network/enabled"), setting);
    auto window = m_rig->createWindow();
    m_rig->manager()->announceStarted();
    QTRY_VERIFY(window->filerPanes().first()->currentFiler());
    QCOMPARE(window->networkEnabled(), enabled);
    if (enabled)
        QTRY_COMPARE(m_rig->manager()->calls().size(), size_t(1));
    // A second start announcement changes nothing.
    m_rig->manager()->announceStarted();
    QTest::qWait(50);
    QCOMPARE(window->filerPanes().first()->filerCount(), 1);
}

// One press of the copy keys reaches the Filers of both panes; only the
// hub's active one acts.
void TestMainWindow::sharedShortcutReachesOnlyActiveFiler()
{
    auto window = m_rig->createWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    m_rig->manager()->announceStarted();
    QTRY_VERIFY(window->filerPanes().last()->currentFiler());
    window->showAlternateFilerPane();
    Filer* left = window->filerPanes().first()->currentFiler();
    Filer* right = window->filerPanes().last()->currentFiler();
    window->activateWindow();
    right->setFocus();
    QTRY_COMPARE(window->filerHub()->activeFiler(), right);
    SharedActions::copy->setEnabled(true);

    QTest::keySequence(QApplication::focusWidget(), QKeySequence::keyBindings(QKeySequence::Copy).first());
    QCOMPARE(left->actionsReached(), 1);
    QCOMPARE(right->actionsReached(), 1);
    QCOMPARE(left->actedOn(), QStringList());
    QCOMPARE(right->actedOn(), QStringList{ "copy" });

    // Ctrl+1, Ctrl+2, Ctrl+3: list, columns, icons.
    const QList<QPair<const char*, int>> views = { { "Ctrl+1", Filer::ViewList },
                                                   { "Ctrl+2", Filer::ViewColumns },
                                                   { "Ctrl+3", Filer::ViewIcons } };
    for (const auto& view : views) {
        QTest::keySequence(QApplication::focusWidget(), QKeySequence(QString::fromLatin1(view.first)));
        QCOMPARE(right->viewMode(), view.second);
        QCOMPARE(left->viewMode(), int(Filer::ViewColumns));
    }
}

void TestMainWindow::contextProperties()
{
    auto window = m_rig->createWindow();
    QQmlContext* context = window->engine()->rootContext();
    const QList<QPair<const char*, QObject*>> expected = {
        { "filerNewWindowAction", SharedActions::newWindow },
        { "filerShowAlternateFilerAction", SharedActions::showAlternateFiler },
        { "filerShowNodeViewAction", SharedActions::showNodeView },
        { "filerCopyAction", SharedActions::copy },
        { "filerPasteAction", SharedActions::paste },
        { "filerTrashAction", SharedActions::trash },
        { "filerNewFolderAction", SharedActions::newFolder },
        { "filerRenameAction", SharedActions::rename },
        { "filerClearMarkedAction", SharedActions::clearMarked },
        { "mainWindow", window.get() },
        { "Theme", window->theme() },
        { "peerModel", m_rig->peerModel() },
        { "nodeView", window->nodeView() },
    };
    for (const auto& property : expected) {
        QObject* object = context->contextProperty(QLatin1String(property.first)).value<QObject*>();
        QVERIFY2(object, property.first);
        QCOMPARE(object, property.second);
    }
    QVERIFY(context->contextProperty(QStringLiteral("appLauncher")).value<QObject*>());
    QVERIFY(context->contextProperty(QStringLiteral("invitationModel")).value<QObject*>());
    // The shipped English labels, and the two that end in "...".
    QCOMPARE(SharedActions::trash->shortcuts().size(), 2);
    QVERIFY(SharedActions::deleteItems->text().endsWith(QLatin1String("...")));
    QVERIFY(SharedActions::newFolder->text().endsWith(QLatin1String("...")));
    QVERIFY(!SharedActions::copy->isEnabled());
    QVERIFY(SharedActions::viewIcons->isCheckable());
}

void TestMainWindow::themeFromFiles()
{
    const QString dir = m_themes.filePath(QStringLiteral("good"));
    QVERIFY(QDir().mkpath(dir));
    QFile qml(dir + QStringLiteral("/LightTheme.qml"));
    QVERIFY(qml.open(QIODevice::WriteOnly));
    qml.write("import QtQuick 2.12\nQtObject {\n"
              " property string foreground: \"#101010\"\n property string foreground2: \"#202020\"\n"
              " property string background: \"#303030\"\n property string background2: \"#404040\"\n"
              " property string control: \"#505050\"\n property string controlHighlight: \"#606060\"\n"
              " property string controlLightHighlight: \"#707070\"\n property string controlShadow: \"#808080\"\n"
              " property string controlDarkShadow: \"#909090\"\n property real scaleFactor: 0\n"
              " property real pointSizeNormal: 1\n property int pixelSizeNormal: 1\n"
              " property real pointSizeSmall: 1\n property real pointSizeMedium: 1\n"
              " property real pointSizeLarge: 1\n property string marker: \"from file\"\n}\n");
    qml.close();
    QFile qss(dir + QStringLiteral("/LightThemeStyle.qss"));
    QVERIFY(qss.open(QIODevice::WriteOnly));
    qss.write("QSplitter::handle { background: #123456; } /* Grüße */");
    qss.close();
    ThemeLoader::setThemeDirectory(dir);

    auto window = m_rig->createWindow();
    QVERIFY(!window->usesBuiltInTheme());
    QCOMPARE(window->theme()->property("marker").toString(), QStringLiteral("from file"));
    const QPalette palette = QApplication::palette();
    const QList<QPair<QPalette::ColorRole, const char*>> roles = {
        { QPalette::WindowText, "#101010" }, { QPalette::Text, "#202020" },   { QPalette::ButtonText, "#101010" },
        { QPalette::Window, "#303030" },     { QPalette::Base, "#404040" },   { QPalette::Button, "#505050" },
        { QPalette::Midlight, "#606060" },   { QPalette::Light, "#707070" },  { QPalette::Dark, "#808080" },
        { QPalette::Shadow, "#909090" },
    };
    for (const auto& role : roles) {
        for (QPalette::ColorGroup group : { QPalette::Active, QPalette::Inactive, QPalette::Disabled })
            QCOMPARE(palette.color(group, role.first), QColor(QLatin1String(role.second)));
    }
    QVERIFY(qApp->styleSheet().contains(QStringLiteral("Grüße")));
    const double dpi = QGuiApplication::screens().first()->logicalDotsPerInch();
    QCOMPARE(window->theme()->property("scaleFactor").toDouble(), 144.0 / dpi);
    QCOMPARE(window->theme()->property("pointSizeNormal").toDouble(), window->font().pointSizeF());
    QVERIFY(window->theme()->property("pixelSizeNormal").toInt() > 1);

    // A second load reads the file again; "Theme" stays the same object.
    QObject* theme = window->theme();
    QPointer<QObject> kept(theme);
    window->loadTheme(QStringLiteral("Light"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(kept);
    QCOMPARE(window->engine()->rootContext()->contextProperty(QStringLiteral("Theme")).value<QObject*>(), theme);
    // An unknown theme changes nothing.
    window->loadTheme(QStringLiteral("Nonesuch"));
    QCOMPARE(QApplication::palette().color(QPalette::Window), QColor(QStringLiteral("#303030")));
    qApp->setStyleSheet(QString());
}

void TestMainWindow::themeFallback_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file
    QTest::newRow("missing") << QByteArray();
    QTest::newRow("broken") << QByteArray("import QtQuick 2.12\nQtObject { property string foreground: }\n");
    QTest::newRow("not an object") << QByteArray("this is not QML");
}

// A missing or broken theme file gives the built-in theme, with no QML
// warning: every binding to "Theme" has its values.
void TestMainWindow::themeFallback()
{
    QFETCH(QByteArray, content);
    const QString dir = m_themes.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_'));
    QVERIFY(QDir().mkpath(dir));
    if (!content.isEmpty()) {
        QFile qml(dir + QStringLiteral("/LightTheme.qml"));
        QVERIFY(qml.open(QIODevice::WriteOnly));
        qml.write(content);
    }
    ThemeLoader::setThemeDirectory(dir);
    auto window = m_rig->createWindow();
    QVERIFY(window->usesBuiltInTheme());
    QObject* theme = window->theme();
    QVERIFY(theme);
    QCOMPARE(theme->property("highlight").value<QColor>(), QColor(QStringLiteral("#5294e2")));
    QCOMPARE(QApplication::palette().color(QPalette::Window), QColor(theme->property("background").toString()));

    QQmlComponent component(window->engine());
    component.setData("import QtQuick 2.12\nText { text: 'x'; color: Theme.base; font.pointSize: Theme.pointSizeNormal }",
                      QUrl(QStringLiteral("file:///fallback.qml")));
    std::unique_ptr<QObject> text(component.create());
    QVERIFY(text);
    QVERIFY(QmlWarningGuard::messages().isEmpty());
}

void TestMainWindow::closeWritesSettingsAndQuits()
{
    Logger::enable(Logger::DBG1);
    auto window = m_rig->createWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    m_rig->manager()->announceStarted();
    QTRY_VERIFY(window->filerPanes().first()->currentFiler());
    window->filerPanes().first()->currentFiler()->setViewMode(Filer::ViewIcons);
    window->showAlternateFilerPane();

    QSignalSpy quit(qApp, &QCoreApplication::aboutToQuit);
    bool quitCalled = false;
    QTimer::singleShot(0, this, [&] { quitCalled = true; }); // runs only if the loop below runs
    QVERIFY(window->close());
    QSettings s = settings();
    QCOMPARE(s.value(QStringLiteral("geometry")).toByteArray(), window->saveGeometry());
    QCOMPARE(s.value(QStringLiteral("windowState")).toByteArray(), window->saveState(0));
    QCOMPARE(s.value(QStringLiteral("splitterState")).toByteArray(), window->splitter()->saveState());
    QCOMPARE(s.value(QStringLiteral("filerViewMode")).toInt(), int(Filer::ViewIcons));
    QCOMPARE(s.value(QStringLiteral("rhs")).toString(), QStringLiteral("filerpane"));
    s.beginGroup(QStringLiteral("Logger"));
    QCOMPARE(s.childKeys().size(), 21);
    QCOMPARE(s.value(QStringLiteral("DBG1")).toBool(), true);
    s.endGroup();
    Logger::disable(Logger::DBG1);
    Q_UNUSED(quitCalled);

    // Started again, it comes back as it was left.
    window.reset();
    auto again = m_rig->createWindow();
    m_rig->manager()->announceStarted();
    QTRY_COMPARE(again->rightStack()->currentWidget(), static_cast<QWidget*>(again->filerPanes().last()));
}

// On the way out the io thread hands over its queued signals, the start
// among them: a closed window restores nothing.
void TestMainWindow::startAnnouncedAfterCloseIsIgnored()
{
    auto window = m_rig->createWindow();
    window->show();
    QVERIFY(window->close());
    m_rig->manager()->announceStarted();
    QTest::qWait(100);
    QCOMPARE(window->filerPanes().first()->filerCount(), 0);
    QVERIFY(!settings().contains(QStringLiteral("network/enabled")));
}

// QML widgets and windows on the shared engine, all open at once, and a
// clean shutdown: the sanitizers see any use of the engine after it is gone.
// The pages show no images: on the software scene graph (the tests'
// backend) Qt 5 keeps the textures of images past their window.
void TestMainWindow::shutdownWithQmlSurfacesOpen()
{
    auto window = m_rig->createWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    auto write = [this](const char* name, const QByteArray& text) {
        QFile f(m_themes.filePath(QLatin1String(name)));
        if (f.open(QIODevice::WriteOnly))
            f.write(text);
        return QUrl::fromLocalFile(f.fileName());
    };
    const QUrl widgetPage = write("widget.qml", "import QtQuick 2.12\nimport com.orvanti.mirk 1.0\n"
                                                "Rectangle { color: Theme.background; width: 100; height: 60\n"
                                                " ListView { anchors.fill: parent; model: IconListModel {}\n"
                                                "   delegate: Text { text: path } } }\n");
    const QUrl windowPage = write("window.qml", "import QtQuick 2.12\nimport com.orvanti.mirk 1.0\n"
                                                "Rectangle { color: Theme.background; width: 100; height: 60\n"
                                                " ListView { anchors.fill: parent; model: peerModel\n"
                                                "   delegate: Text { text: peerObject.name; textFormat: Text.PlainText } } }\n");

    window->nodeView()->setSource(widgetPage);
    QCOMPARE(window->nodeView()->status(), QQuickWidget::Ready);
    auto* extra = new QQuickWidget(window->engine(), window->filerPanes().first());
    extra->setSource(widgetPage);
    extra->show();
    window->previewWindow()->setSource(windowPage);
    window->previewWindow()->show();
    QVERIFY(QTest::qWaitForWindowExposed(window->previewWindow()));
    QTRY_VERIFY(!window->nodeView()->grabFramebuffer().isNull());
    window->close();
    window.reset();
    QVERIFY(QmlWarningGuard::messages().isEmpty());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
