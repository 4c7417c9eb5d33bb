#include "core/databasesqlite.h"
#include "core/peeracldto.h"
#include "filer/filerpane.h"
#include "peer/peervelm.h"
#include "quick/themeimageprovider.h"
#include "quick/themeloader.h"
#include "share/sharerecord.h"
#include "share/sharewithdialog.h"
#include "support/gui/guitestrig.h"
#include "support/idtranslator.h"
#include "window/mainwindow.h"

#include <QPointer>
#include <QQmlEngine>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QUuid>
#include <QtTest>

namespace {
// The rig's store, with putAcl and deleteAcl failing as often as told.
class FlakyStore : public DatabaseSqlite
{
public:
    using DatabaseSqlite::DatabaseSqlite;
    bool putAcl(const Uuid& peerUuid, const PeerAclDto& dto) override
    {
        ++puts;
        if (failPuts > 0) {
            --failPuts;
            return false;
        }
        return DatabaseSqlite::putAcl(peerUuid, dto);
    }
    bool deleteAcl(const Uuid& peerUuid, const Uuid& aclUuid) override
    {
        ++deletes;
        if (failDeletes > 0) {
            --failDeletes;
            return false;
        }
        return DatabaseSqlite::deleteAcl(peerUuid, aclUuid);
    }
    int failPuts = 0;
    int failDeletes = 0;
    int puts = 0;
    int deletes = 0;
};

QQuickItem* child(QObject* window, const char* name)
{
    auto* quick = qobject_cast<QQuickWindow*>(window);
    if (!quick)
        return nullptr;
    if (auto* item = quick->findChild<QQuickItem*>(QLatin1String(name)))
        return item;
    return quick->contentItem()->findChild<QQuickItem*>(QLatin1String(name));
}
} // namespace

// The share window on the main window's engine, driven the way its buttons
// and keys drive it, with what the store holds read back afterwards.
class TestShareWithDialog : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void windowShowsTheRecord_data();
    void windowShowsTheRecord();
    void newShareGetsFreshUuid();
    void editKeepsUuidAndRenewsTimestamp_data();
    void editKeepsUuidAndRenewsTimestamp();
    void closingWritesNothing_data();
    void closingWritesNothing();
    void storeFailures_data();
    void storeFailures();
    void checkBoxesAreOneChoice();
    void keyboard();
    void failedWindowOpensNothing_data();
    void failedWindowOpensNothing();
    void germanTextsFit();
    void ownerGoesFirst();

private:
    PeerAclDto stored(quint32 flags);
    ShareWithDialog* openDialog(const PeerAclDto& acl);
    bool gone(const QPointer<ShareWithDialog>& dialog, const QPointer<QObject>& window);

    std::unique_ptr<GuiTestRig> m_rig;
    std::unique_ptr<MainWindow> m_window;
    std::unique_ptr<FlakyStore> m_store;
    RigPeer* m_peer = nullptr;
    QTemporaryDir m_files;
    IdTranslator m_english;
};

void TestShareWithDialog::initTestCase()
{
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_en.ts")));
    QCoreApplication::installTranslator(&m_english);
}

void TestShareWithDialog::init()
{
    ThemeLoader::setThemeDirectory(QStringLiteral("/nonexistent"));
    m_rig.reset(new GuiTestRig);
    m_window = m_rig->createWindow();
    m_peer = m_rig->addPeer(QStringLiteral("<b>Laptop</b>"));
    m_rig->storePeer(m_peer->uuid());
    m_store.reset(new FlakyStore(m_rig->database()->path()));
}

void TestShareWithDialog::cleanup()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    m_store.reset();
    m_window.reset();
    m_rig.reset();
}

PeerAclDto TestShareWithDialog::stored(quint32 flags)
{
    PeerAclDto acl;
    acl.uuid = QUuid::createUuid().toString();
    acl.name = QStringLiteral("photos");
    acl.selector = m_files.filePath(QStringLiteral("photos"));
    acl.flags = flags;
    acl.timestamp = QDateTime::fromSecsSinceEpoch(1600000000, Qt::UTC);
    if (!m_store->putAcl(m_peer->uuid(), acl))
        return PeerAclDto();
    m_store->puts = 0;
    return acl;
}

ShareWithDialog* TestShareWithDialog::openDialog(const PeerAclDto& acl)
{
    return ShareWithDialog::open(m_window->engine(), m_store.get(), m_peer, acl, m_window.get());
}

bool TestShareWithDialog::gone(const QPointer<ShareWithDialog>& dialog, const QPointer<QObject>& window)
{
    for (int i = 0; i < 500 && (dialog || window); ++i) {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QTest::qWait(10);
    }
    // What the window's scene handed over for later deletion goes too.
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return !dialog && !window;
}

static PeerAclDto newShare(const QString& name, const QString& selector, quint32 flags)
{
    PeerAclDto acl;
    acl.uuid = ShareRecord::newShareUuid();
    acl.name = name;
    acl.selector = selector;
    acl.flags = flags;
    acl.timestamp = QDateTime::currentDateTimeUtc();
    return acl;
}

// Title, buttons, icon by flags and the name as plain text.
void TestShareWithDialog::windowShowsTheRecord_data()
{
    QTest::addColumn<bool>("isNew");
    QTest::addColumn<uint>("flags");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("icon");
    QTest::newRow("new drive") << true << 13u << "Data" << "image://theme/icon/drive-disk.svg";
    QTest::newRow("new folder") << true << 5u << "photos" << "image://theme/mime/application/x-directory";
    QTest::newRow("stored file") << false << 3u << "report #2.pdf"
                                 << "image://theme/file/report%20%232.pdf";
    QTest::newRow("stored file with markup") << false << 1u << "<i>x</i>.txt"
                                             << "image://theme/file/%3Ci%3Ex%3C/i%3E.txt";
    // Wraps over lines: the window still fits its content without a loop.
    const QString longName = QStringLiteral("A very long name that keeps going and going with the pictures of the "
                                            "whole summer holiday in Norway, every single one of them.jpg");
    QTest::newRow("new file with a long name") << true << 1u << longName << ThemeImageProvider::fileIconUrl(longName);
}

void TestShareWithDialog::windowShowsTheRecord()
{
    QFETCH(bool, isNew);
    QFETCH(uint, flags);
    QFETCH(QString, name);
    QFETCH(QString, icon);
    PeerAclDto acl = newShare(name, QStringLiteral("/srv/") + name, flags);
    if (!isNew)
        acl.uuid = QUuid::createUuid().toString();
    QCOMPARE(ShareWithDialog::iconFor(acl), icon);
    // A file's name reaches the icon provider as it is, whatever it holds.
    if (!(flags & 4))
        QCOMPARE(ThemeImageProvider::filePathOfId(icon.mid(int(qstrlen("image://theme/")))), name);

    QPointer<ShareWithDialog> dialog = openDialog(acl);
    QVERIFY(dialog);
    QPointer<QObject> window = dialog->window();
    auto* quick = qobject_cast<QQuickWindow*>(window);
    QVERIFY(QTest::qWaitForWindowExposed(quick));
    QCOMPARE(window->property("icon").toString(), icon);
    QCOMPARE(window->property("isNewShare").toBool(), isNew);
    QCOMPARE(window->property("canEdit").toBool(), (flags & 2) != 0);
    QCOMPARE(quick->title(), isNew ? QStringLiteral("Create new share") : QStringLiteral("Edit share"));
    QCOMPARE(child(window, "shareButton")->property("text").toString(),
             isNew ? QStringLiteral("Share") : QStringLiteral("Save"));
    QCOMPARE(child(window, "removeButton")->isVisible(), !isNew);
    QQuickItem* itemName = child(window, "itemName");
    QCOMPARE(itemName->property("text").toString(), name);
    QCOMPARE(itemName->property("textFormat").toInt(), int(Qt::PlainText));
    QCOMPARE(child(window, "peerInfo")->property("text").toString(), QStringLiteral("Share with <b>Laptop</b>"));
    QCOMPARE(child(window, "peerInfo")->property("textFormat").toInt(), int(Qt::PlainText));
    QCOMPARE(child(window, "selector")->property("textFormat").toInt(), int(Qt::PlainText));
    QVERIFY(!child(window, "errorLine")->isVisible());
    QVERIFY(quick->modality() == Qt::ApplicationModal);
    QCOMPARE(quick->minimumSize(), quick->size());
    QCOMPARE(quick->maximumSize(), quick->size());
    QVERIFY(quick->width() > 100 && quick->height() > 80);
    QTRY_VERIFY(child(window, (flags & 2) ? "canEditCheckbox" : "canViewCheckbox")->property("checked").toBool());

    QMetaObject::invokeMethod(window, "close");
    QVERIFY(gone(dialog, window));
    QVERIFY(m_store->getAcls(m_peer->uuid()).empty());
}

// Share: stored under a fresh braced uuid, bit 1 set, the window and the
// controller gone.
void TestShareWithDialog::newShareGetsFreshUuid()
{
    QSignalSpy added(m_rig->database(), &IDatabase::addedPeerAcl);
    const PeerAclDto acl = newShare(QStringLiteral("photos"), QStringLiteral("/home/u/photos"), 4);
    QPointer<ShareWithDialog> dialog = openDialog(acl);
    QPointer<QObject> window = dialog->window();
    QVERIFY(QMetaObject::invokeMethod(window, "accepted", Q_ARG(bool, false)));
    QVERIFY(gone(dialog, window));

    const std::vector<PeerAclDto> acls = m_store->getAcls(m_peer->uuid());
    QCOMPARE(int(acls.size()), 1);
    const PeerAclDto& saved = acls.front();
    QVERIFY(saved.uuid != ShareRecord::newShareUuid());
    QVERIFY(!QUuid(saved.uuid).isNull());
    QVERIFY(saved.uuid.startsWith(QLatin1Char('{')) && saved.uuid.endsWith(QLatin1Char('}')));
    QCOMPARE(saved.flags, quint32(5));
    QCOMPARE(saved.name, acl.name);
    QCOMPARE(saved.selector, acl.selector);

    // A second new share of something else gets a uuid of its own.
    QPointer<ShareWithDialog> second = openDialog(newShare(QStringLiteral("a.txt"), QStringLiteral("/a.txt"), 1));
    QPointer<QObject> secondWindow = second->window();
    QVERIFY(QMetaObject::invokeMethod(secondWindow, "accepted", Q_ARG(bool, true)));
    QVERIFY(gone(second, secondWindow));
    const std::vector<PeerAclDto> both = m_store->getAcls(m_peer->uuid());
    QCOMPARE(int(both.size()), 2);
    QVERIFY(both.at(0).uuid != both.at(1).uuid);
    QCOMPARE(ShareRecord::findBySelector(both, QStringLiteral("/a.txt"))->flags, quint32(3));
}

// An edit keeps the uuid and renews the time stamp; editing on or off
// touches bit 2 only and always sets bit 1.
void TestShareWithDialog::editKeepsUuidAndRenewsTimestamp_data()
{
    QTest::addColumn<uint>("flags");
    QTest::addColumn<bool>("canEdit");
    QTest::addColumn<uint>("expected");
    QTest::newRow("drive, editing off") << 15u << false << 13u;
    QTest::newRow("folder, editing on") << 5u << true << 7u;
    QTest::newRow("file, editing off") << 3u << false << 1u;
    QTest::newRow("no read bit, editing on") << 4u << true << 7u;
}

void TestShareWithDialog::editKeepsUuidAndRenewsTimestamp()
{
    QFETCH(uint, flags);
    QFETCH(bool, canEdit);
    QFETCH(uint, expected);
    const PeerAclDto acl = stored(flags);
    QVERIFY(!acl.uuid.isEmpty());
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    QPointer<ShareWithDialog> dialog = openDialog(acl);
    QPointer<QObject> window = dialog->window();
    QVERIFY(QMetaObject::invokeMethod(window, "accepted", Q_ARG(bool, canEdit)));
    QVERIFY(gone(dialog, window));

    const std::vector<PeerAclDto> acls = m_store->getAcls(m_peer->uuid());
    QCOMPARE(int(acls.size()), 1);
    QCOMPARE(acls.front().uuid, acl.uuid);
    QCOMPARE(acls.front().flags, quint32(expected));
    QVERIFY(acls.front().timestamp >= before);
}

// Cancel, Escape and the window's own close store nothing and end it all;
// "Remove share" of a share never stored stores nothing either.
void TestShareWithDialog::closingWritesNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("isNew");
    QTest::newRow("cancel button, new") << "cancel" << true;
    QTest::newRow("cancel button, stored") << "cancel" << false;
    QTest::newRow("escape, new") << "escape" << true;
    QTest::newRow("escape, stored") << "escape" << false;
    QTest::newRow("window closed") << "close" << false;
    QTest::newRow("remove of a new share") << "remove" << true;
}

void TestShareWithDialog::closingWritesNothing()
{
    QFETCH(QString, how);
    QFETCH(bool, isNew);
    const PeerAclDto acl = isNew ? newShare(QStringLiteral("p"), QStringLiteral("/p"), 5) : stored(7);
    const std::vector<PeerAclDto> before = m_store->getAcls(m_peer->uuid());
    QPointer<ShareWithDialog> dialog = openDialog(acl);
    QPointer<QObject> window = dialog->window();
    auto* quick = qobject_cast<QQuickWindow*>(window);
    QVERIFY(QTest::qWaitForWindowExposed(quick));
    if (how == QLatin1String("cancel"))
        QMetaObject::invokeMethod(child(window, "cancelButton"), "clicked");
    else if (how == QLatin1String("escape"))
        QTest::keyClick(quick, Qt::Key_Escape);
    else if (how == QLatin1String("close"))
        quick->close();
    else
        QMetaObject::invokeMethod(window, "removeShare");
    QVERIFY(gone(dialog, window));
    QCOMPARE(m_store->getAcls(m_peer->uuid()), before);
    QCOMPARE(m_store->puts, 0);
    QCOMPARE(m_store->deletes, 0);
}

// A store that fails once: the window stays with the error line and the
// store keeps what it had; the next try goes through and closes it.
void TestShareWithDialog::storeFailures_data()
{
    QTest::addColumn<bool>("remove");
    QTest::addColumn<bool>("isNew");
    QTest::newRow("put of a new share fails") << false << true;
    QTest::newRow("put of an edit fails") << false << false;
    QTest::newRow("delete fails") << true << false;
}

void TestShareWithDialog::storeFailures()
{
    QFETCH(bool, remove);
    QFETCH(bool, isNew);
    const PeerAclDto acl = isNew ? newShare(QStringLiteral("p"), QStringLiteral("/p"), 5) : stored(5);
    const std::vector<PeerAclDto> before = m_store->getAcls(m_peer->uuid());
    m_store->failPuts = 1;
    m_store->failDeletes = 1;
    QPointer<ShareWithDialog> dialog = openDialog(acl);
    QPointer<QObject> window = dialog->window();
    auto* quick = qobject_cast<QQuickWindow*>(window);
    QVERIFY(QTest::qWaitForWindowExposed(quick));
    auto press = [&] {
        if (remove)
            QMetaObject::invokeMethod(child(window, "removeButton"), "clicked");
        else
            QMetaObject::invokeMethod(child(window, "shareButton"), "clicked");
    };

    press();
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(dialog);
    QVERIFY(window);
    QVERIFY(quick->isVisible());
    QVERIFY(child(window, "errorLine")->isVisible());
    QVERIFY(!child(window, "errorLine")->property("text").toString().isEmpty());
    QCOMPARE(m_store->getAcls(m_peer->uuid()), before);
    // The window grew to show the line and is still of a fixed size.
    QCOMPARE(quick->minimumSize(), quick->size());

    press();
    QVERIFY(gone(dialog, window));
    const std::vector<PeerAclDto> after = m_store->getAcls(m_peer->uuid());
    if (remove) {
        QVERIFY(after.empty());
        QCOMPARE(m_store->deletes, 2);
    } else {
        QCOMPARE(int(after.size()), 1);
        QCOMPARE(after.front().flags, quint32(5));
        if (!isNew)
            QCOMPARE(after.front().uuid, acl.uuid);
        QCOMPARE(m_store->puts, 2);
    }
}

// The two boxes are one choice: checking one unchecks the other, and
// unchecking one checks the other; Share sends the choice.
void TestShareWithDialog::checkBoxesAreOneChoice()
{
    QPointer<ShareWithDialog> dialog = openDialog(newShare(QStringLiteral("p"), QStringLiteral("/p"), 5));
    QPointer<QObject> window = dialog->window();
    auto* quick = qobject_cast<QQuickWindow*>(window);
    QVERIFY(QTest::qWaitForWindowExposed(quick));
    QQuickItem* view = child(window, "canViewCheckbox");
    QQuickItem* edit = child(window, "canEditCheckbox");
    QTRY_VERIFY(view->property("checked").toBool());
    QVERIFY(!edit->property("checked").toBool());

    auto click = [&](QQuickItem* box) {
        const QPointF centre = box->mapToScene(QPointF(box->width() / 2, box->height() / 2));
        QTest::mouseClick(quick, Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    };
    click(edit);
    QTRY_VERIFY(!view->property("checked").toBool());
    QVERIFY(edit->property("checked").toBool());
    click(edit); // unchecking "Can edit" goes back to "Can view"
    QTRY_VERIFY(view->property("checked").toBool());
    QVERIFY(!edit->property("checked").toBool());
    click(view); // unchecking "Can view" means "Can edit"
    QTRY_VERIFY(edit->property("checked").toBool());
    QVERIFY(!view->property("checked").toBool());

    QMetaObject::invokeMethod(child(window, "shareButton"), "clicked");
    QVERIFY(gone(dialog, window));
    const std::vector<PeerAclDto> acls = m_store->getAcls(m_peer->uuid());
    QCOMPARE(int(acls.size()), 1);
    QCOMPARE(acls.front().flags, quint32(7));
}

// Tab walks the boxes and buttons, Space picks, Return shares.
void TestShareWithDialog::keyboard()
{
    QPointer<ShareWithDialog> dialog = openDialog(stored(5));
    QPointer<QObject> window = dialog->window();
    auto* quick = qobject_cast<QQuickWindow*>(window);
    QVERIFY(QTest::qWaitForWindowExposed(quick));
    QQuickItem* share = child(window, "shareButton");
    QTRY_VERIFY(share->hasActiveFocus());
    QTRY_VERIFY(child(window, "canViewCheckbox")->property("checked").toBool());

    QStringList visited;
    for (int i = 0; i < 5; ++i) {
        QTest::keyClick(quick, Qt::Key_Tab);
        visited << (quick->activeFocusItem() ? quick->activeFocusItem()->objectName() : QString());
    }
    QCOMPARE(visited, (QStringList{ "canViewCheckbox", "canEditCheckbox", "removeButton", "cancelButton",
                                    "shareButton" }));
    QTest::keyClick(quick, Qt::Key_Tab);
    QTest::keyClick(quick, Qt::Key_Tab);
    QCOMPARE(quick->activeFocusItem()->objectName(), QStringLiteral("canEditCheckbox"));
    QTest::keyClick(quick, Qt::Key_Space);
    QTRY_VERIFY(!child(window, "canViewCheckbox")->property("checked").toBool());
    QTest::keyClick(quick, Qt::Key_Return);
    QVERIFY(gone(dialog, window));
    const std::vector<PeerAclDto> acls = m_store->getAcls(m_peer->uuid());
    QCOMPARE(int(acls.size()), 1);
    QCOMPARE(acls.front().flags, quint32(7));
}

// No engine, no file, a file that does not compile, a root that is no
// window: nothing opens and the controller goes.
void TestShareWithDialog::failedWindowOpensNothing_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("no engine") << "engine";
    QTest::newRow("no peer") << "peer";
    QTest::newRow("missing file") << "missing";
    QTest::newRow("broken file") << "broken";
    QTest::newRow("not a window") << "item";
}

void TestShareWithDialog::failedWindowOpensNothing()
{
    QFETCH(QString, how);
    const PeerAclDto acl = newShare(QStringLiteral("p"), QStringLiteral("/p"), 5);
    const int windowsBefore = QGuiApplication::topLevelWindows().size();
    QUrl source = ShareWithDialog::defaultSource();
    if (how == QLatin1String("missing")) {
        source = QUrl::fromLocalFile(m_files.filePath(QStringLiteral("none.qml")));
    } else if (how != QLatin1String("engine") && how != QLatin1String("peer")) {
        QFile file(m_files.filePath(how + QStringLiteral(".qml")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(how == QLatin1String("broken") ? "import QtQuick 2.12\nItem { width: }\n"
                                                  : "import QtQuick 2.12\nItem { }\n");
        file.close();
        source = QUrl::fromLocalFile(file.fileName());
    }
    QPointer<ShareWithDialog> dialog;
    if (how == QLatin1String("engine")) {
        QVERIFY(!ShareWithDialog::open(nullptr, m_store.get(), m_peer, acl));
        dialog = new ShareWithDialog(nullptr, m_store.get(), m_peer, acl);
    } else if (how == QLatin1String("peer")) {
        QVERIFY(!ShareWithDialog::open(m_window->engine(), m_store.get(), nullptr, acl));
        dialog = new ShareWithDialog(m_window->engine(), m_store.get(), nullptr, acl);
    } else {
        dialog = new ShareWithDialog(m_window->engine(), m_store.get(), m_peer, acl, nullptr, source);
    }
    QVERIFY(!dialog->window());
    dialog->show();
    QMetaObject::invokeMethod(dialog, "onAccepted", Q_ARG(bool, true));
    QVERIFY(gone(dialog, nullptr));
    QCOMPARE(QGuiApplication::topLevelWindows().size(), windowsBefore);
    QVERIFY(m_store->getAcls(m_peer->uuid()).empty());
    QCOMPARE(m_store->puts, 0);
}

// The German texts are longer; the window takes their size, with and
// without the error line, without a warning.
void TestShareWithDialog::germanTextsFit()
{
    IdTranslator german;
    QVERIFY(german.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_de.ts")));
    QCoreApplication::installTranslator(&german);
    auto restore = qScopeGuard([&] { QCoreApplication::removeTranslator(&german); });
    m_store->failDeletes = 1;
    for (const PeerAclDto& acl : { newShare(QStringLiteral("Documents"), QStringLiteral("/home/u/Documents"), 5),
                                   stored(7) }) {
        QPointer<ShareWithDialog> dialog = openDialog(acl);
        QPointer<QObject> window = dialog->window();
        auto* quick = qobject_cast<QQuickWindow*>(window);
        QVERIFY(QTest::qWaitForWindowExposed(quick));
        QCOMPARE(child(window, "canEditCheckbox")->property("text").toString(), QStringLiteral("Darf bearbeiten"));
        QTRY_COMPARE(quick->minimumSize(), quick->size());
        const QSize before = quick->size();
        if (!ShareRecord::isNewShare(acl)) {
            QMetaObject::invokeMethod(child(window, "removeButton"), "clicked");
            QTRY_VERIFY(quick->height() > before.height());
            QTRY_COMPARE(quick->minimumSize(), quick->size());
        }
        QVERIFY(before.width() >= 320);
        QMetaObject::invokeMethod(child(window, "cancelButton"), "clicked");
        QVERIFY(gone(dialog, window));
    }
}

// A dialog still open when the main window goes (the program ends) goes
// with the file pane that owns it, before the engine it was made on.
void TestShareWithDialog::ownerGoesFirst()
{
    FilerPane* pane = m_window->filerPanes().first();
    QPointer<ShareWithDialog> dialog = ShareWithDialog::open(m_window->engine(), m_store.get(), m_peer,
                                                             stored(5), pane);
    QVERIFY(dialog);
    QPointer<QObject> window = dialog->window();
    QVERIFY(QTest::qWaitForWindowExposed(qobject_cast<QQuickWindow*>(window)));
    m_window.reset();
    QVERIFY(!dialog);
    QVERIFY(!window);
    QCOMPARE(int(m_store->getAcls(m_peer->uuid()).size()), 1);
}

QTEST_MAIN(TestShareWithDialog)
#include "tst_sharewithdialog.moc"
