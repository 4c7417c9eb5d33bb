#include "peer/peermodel.h"
#include "quick/qmlnetworkguard.h"
#include "quick/themeloader.h"
#include "support/gui/guitestrig.h"
#include "window/mainwindow.h"

#include <QDirIterator>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// Every QML file of the resources, created on the window's shared engine
// with no warning; and no QML reaches the network, whatever text a peer
// names itself with.
class TestQmlFiles : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void everyFileLoads_data();
    void everyFileLoads();
    void everyFileIsListed();
    void peerNamesStayText();
    void guardRefusesOtherSchemes_data();
    void guardRefusesOtherSchemes();

private:
    static QStringList resourceQml();
    std::unique_ptr<GuiTestRig> m_rig;
    std::unique_ptr<MainWindow> m_window;
};

// The files the tests create, by resource path; a new QML file of the
// resources fails everyFileIsListed until a row here loads it.
static const char* const kQmlFiles[] = {
    ":/qml/elements/ExtButton.qml", ":/qml/elements/ExtButton2.qml", ":/qml/elements/ExtCheckBox.qml",
    ":/qml/elements/LineEdit.qml",  ":/qml/elements/LinkButton.qml", ":/themes/LightTheme.qml",
    // the node view
    ":/qml/NodeView.qml", ":/qml/SectorView.qml", ":/qml/NodeViewSektor.qml", ":/qml/PeerNode.qml",
    ":/qml/DriveNode.qml", ":/qml/DirectoryNode.qml", ":/qml/FileNode.qml", ":/qml/SectorNode.qml",
    ":/qml/NodeMenu.qml", ":/qml/NodeColorSelector.qml", ":/qml/NodeColorRect.qml", ":/qml/NodeCustomizer.qml",
    ":/qml/Preview.qml",            ":/qml/PreviewExif.qml",
    ":/qml/BreadCrumb.qml", ":/qml/BreadCrumbShelfItem.qml", ":/qml/FileActionItem.qml", ":/qml/MachineList.qml",
    ":/qml/MachineItem.qml", ":/qml/MachineListSettings.qml", ":/qml/PeerView.qml", ":/qml/PeerViewComputer.qml",
    ":/qml/DriveList.qml", ":/qml/SharesList.qml", ":/qml/AclList.qml", ":/qml/dialogs/CreateInviteDialog.qml",
    ":/qml/dialogs/ProcessInviteDialog.qml", ":/qml/dialogs/ActiveInvitationsDialog.qml",
    ":/qml/JobPane.qml",            ":/qml/JobCopyItem.qml",
    ":/qml/dialogs/ShareWithDialog.qml",
};

void TestQmlFiles::init()
{
    ThemeLoader::setThemeDirectory(QStringLiteral("/nonexistent"));
    m_rig.reset(new GuiTestRig);
    m_window = m_rig->createWindow();
}

void TestQmlFiles::cleanup()
{
    m_window.reset();
    m_rig.reset();
}

QStringList TestQmlFiles::resourceQml()
{
    QStringList files;
    QDirIterator it(QStringLiteral(":"), QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        // Qt's own modules keep theirs under ":/qt-project.org".
        if (path.endsWith(QLatin1String(".qml")) && !path.startsWith(QLatin1String(":/qt-project.org")))
            files << path;
    }
    files.sort();
    return files;
}

void TestQmlFiles::everyFileLoads_data()
{
    QTest::addColumn<QString>("file");
    for (const char* file : kQmlFiles)
        QTest::newRow(file) << QString::fromLatin1(file);
}

// Each file inside a window of its own, so its bindings run against a real
// scene; controls also get focus, a click and a press of Return.
void TestQmlFiles::everyFileLoads()
{
    QFETCH(QString, file);
    QQmlComponent component(m_window->engine(), QUrl(QStringLiteral("qrc") + file));
    QVERIFY2(component.isReady(), qPrintable(component.errorString()));
    std::unique_ptr<QObject> object(component.create());
    QVERIFY(object);
    if (auto* item = qobject_cast<QQuickItem*>(object.get())) {
        QQuickWindow window;
        window.resize(300, 120);
        item->setParentItem(window.contentItem());
        item->setProperty("text", QStringLiteral("<b>not bold</b>"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        item->forceActiveFocus();
        QTest::mouseClick(&window, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QTest::keyClick(&window, Qt::Key_Return);
        item->setParentItem(nullptr);
    }
    QVERIFY2(QmlWarningGuard::messages().isEmpty(), qPrintable(QmlWarningGuard::messages().join('\n')));
}

void TestQmlFiles::everyFileIsListed()
{
    QStringList listed;
    for (const char* file : kQmlFiles)
        listed << QString::fromLatin1(file);
    listed.sort();
    QCOMPARE(resourceQml(), listed);
}

// A peer named with markup that points at a loopback server: shown as the
// text it is, and the server never hears a request, not even from a Text
// that would render rich text.
void TestQmlFiles::peerNamesStayText()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    int connections = 0;
    connect(&server, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket* socket = server.nextPendingConnection()) {
            ++connections;
            socket->deleteLater();
        }
    });
    const QString name = QStringLiteral("<img src='http://127.0.0.1:%1/x.png'>").arg(server.serverPort());
    RigPeer* peer = m_rig->addPeer(name);
    const int refusedBefore = QmlNetworkGuard::refusedCount();

    QQmlComponent component(m_window->engine());
    component.setData("import QtQuick 2.12\n"
                      "Item { width: 400; height: 100\n"
                      " property var peer: peerModel.getPeerForUuid(uuid)\n"
                      " property alias plainText: plain.text\n"
                      " Text { id: plain; objectName: 'plain'; text: peer.name; textFormat: Text.PlainText }\n"
                      " Text { id: rich; objectName: 'rich'; y: 40; text: peer.name }\n"
                      "}\n",
                      QUrl(QStringLiteral("file:///peername.qml")));
    QQmlContext context(m_window->engine()->rootContext());
    context.setContextProperty(QStringLiteral("uuid"), peer->uuid());
    std::unique_ptr<QObject> object(component.create(&context));
    QVERIFY2(object, qPrintable(component.errorString()));
    auto* item = qobject_cast<QQuickItem*>(object.get());
    QQuickWindow window;
    window.resize(400, 100);
    item->setParentItem(window.contentItem());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QQuickItem* plain = item->findChild<QQuickItem*>(QStringLiteral("plain"));
    QVERIFY(plain);
    QCOMPARE(plain->property("text").toString(), name);
    QCOMPARE(plain->property("lineCount").toInt(), 1);
    // The literal text is wider than an image placeholder would be.
    QVERIFY(plain->property("contentWidth").toReal() > 100);

    // The rich Text asks for its image: the guard refuses it.
    QTRY_VERIFY(QmlNetworkGuard::refusedCount() > refusedBefore);
    QTest::qWait(200);
    QCOMPARE(connections, 0);
    item->setParentItem(nullptr);
    object.reset();
    // The refused image is the engine's business, not a QML warning of ours.
    QmlWarningGuard::clear();
}

void TestQmlFiles::guardRefusesOtherSchemes_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<bool>("refused");
    QTest::newRow("http") << "http://127.0.0.1:1/x" << true;
    QTest::newRow("https") << "https://127.0.0.1:1/x" << true;
    QTest::newRow("ftp") << "ftp://127.0.0.1:1/x" << true;
    QTest::newRow("data") << "data:text/plain,x" << true;
    QTest::newRow("qrc") << "qrc:/themes/LightTheme.qml" << false;
    QTest::newRow("file") << "file:///dev/null" << false;
}

void TestQmlFiles::guardRefusesOtherSchemes()
{
    QFETCH(QString, url);
    QFETCH(bool, refused);
    QNetworkAccessManager* manager = m_window->engine()->networkAccessManager();
    QVERIFY(manager);
    const int before = QmlNetworkGuard::refusedCount();
    std::unique_ptr<QNetworkReply> reply(manager->get(QNetworkRequest(QUrl(url))));
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(QmlNetworkGuard::refusedCount() - before, refused ? 1 : 0);
    if (refused)
        QCOMPARE(reply->error(), QNetworkReply::ProtocolUnknownError);
}

QTEST_MAIN(TestQmlFiles)
#include "tst_qmlfiles.moc"
