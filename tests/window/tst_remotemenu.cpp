#include "core/databasesqlite.h"
#include "core/logger.h"
#include "crypto/crypto.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "peer/invitationcode.h"
#include "peer/invitationmodel.h"
#include "peer/invitationrecord.h"
#include "peer/peerfactory.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "quick/themeloader.h"
#include "support/gui/guitestrig.h"
#include "support/idtranslator.h"
#include "window/mainwindow.h"

#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QUuid>
#include <QWindow>
#include <QtTest>

static QQuickItem* findItem(QQuickItem* root, const QString& name)
{
    if (root->objectName() == name)
        return root;
    for (QQuickItem* child : root->childItems()) {
        if (QQuickItem* found = findItem(child, name))
            return found;
    }
    return nullptr;
}

// The window's menus and the three invitation dialogs, driven through the
// dialogs' properties, functions and signals as their buttons would.
class TestRemoteMenu : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void menusAndMnemonics();
    void createEntriesFollowNetworkSwitch();
    void createThenCancelStoresNothing();
    void createStoresInvitationAndCopies();
    void removingLastInvitationHidesList();
    void acceptDialogValidation_data();
    void acceptDialogValidation();
    void addRemote_data();
    void addRemote();
    void peerMenu();
    void logAction();
    void onlineDocumentation();
    void pairTwoMachines();

public slots:
    void handleUrl(const QUrl& url) { m_openedUrls << url; }

private:
    QAction* action(const char* name) const;
    // Runs "Create invitation..." and waits for the dialog.
    void openCreateDialog();
    void giveOwnPeerKeys();
    QString invitationFor(const QString& password);
    // With VELM_SCREENSHOT_DIR set, saves the dialog's window there.
    static void shot(QObject* dialog, const QString& name);

    std::unique_ptr<GuiTestRig> m_rig;
    std::unique_ptr<MainWindow> m_window;
    QList<QUrl> m_openedUrls;
    IdTranslator m_english;
};

void TestRemoteMenu::initTestCase()
{
    const QString language = qEnvironmentVariable("VELM_SCREENSHOT_LANG", QStringLiteral("en"));
    QVERIFY(m_english.loadTs(QStringLiteral(VELM_I18N_DIR "/velm_") + language + QStringLiteral(".ts")));
    QCoreApplication::installTranslator(&m_english);
}

void TestRemoteMenu::init()
{
    Logger::initChannels("velm");
    ThemeLoader::setThemeDirectory(QStringLiteral("/nonexistent"));
    m_rig.reset(new GuiTestRig);
    giveOwnPeerKeys();
    m_window = m_rig->createWindow();
    m_window->filerPanes().first()->createFiler(Filer::ViewColumns, QUuid::createUuid().toString());
    m_window->setNetworkEnabled(true);
}

void TestRemoteMenu::cleanup()
{
    m_window.reset();
    m_rig.reset();
}

QAction* TestRemoteMenu::action(const char* name) const
{
    return m_window->findChild<QAction*>(QLatin1String(name));
}

void TestRemoteMenu::openCreateDialog()
{
    action("createInvitationAction")->trigger();
    // The transports come from the io thread; the dialog shows after.
    QTRY_VERIFY_WITH_TIMEOUT(m_window->createInviteDialog()
                                 && m_window->createInviteDialog()->property("visible").toBool(),
                             20000);
}

void TestRemoteMenu::shot(QObject* dialog, const QString& name)
{
    const QString dir = qEnvironmentVariable("VELM_SCREENSHOT_DIR");
    if (dir.isEmpty())
        return;
    QTest::qWait(300);
    qobject_cast<QQuickWindow*>(dialog)->grabWindow().save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

void TestRemoteMenu::giveOwnPeerKeys()
{
    unsigned char pk[crypto::PublicKeyBytes];
    unsigned char sk[crypto::SecretKeyBytes];
    crypto::generateKeyPair(pk, sk);
    const QByteArray pair = QByteArray(reinterpret_cast<const char*>(pk), sizeof pk)
                            + QByteArray(reinterpret_cast<const char*>(sk), sizeof sk);
    m_rig->database()->putCryptoKey(ownPeerUuid(), CryptoKeyDto{ QUuid::createUuid().toString(), pair,
                                                                  QStringLiteral("pksk"),
                                                                  QDateTime::currentDateTimeUtc() });
}

// An invitation of another machine (its own key pair) under password.
QString TestRemoteMenu::invitationFor(const QString& password)
{
    QTemporaryDir dir;
    DatabaseSqlite other(dir.filePath(QStringLiteral("other.db")));
    unsigned char pk[crypto::PublicKeyBytes];
    unsigned char sk[crypto::SecretKeyBytes];
    crypto::generateKeyPair(pk, sk);
    other.putPeer(PeerDto{ ownPeerUuid(), QStringLiteral("velm"), QDateTime::currentDateTimeUtc() });
    other.putCryptoKey(ownPeerUuid(), CryptoKeyDto{ QUuid::createUuid().toString(),
                                                    QByteArray(reinterpret_cast<const char*>(pk), sizeof pk)
                                                        + QByteArray(reinterpret_cast<const char*>(sk), sizeof sk),
                                                    QStringLiteral("pksk"), QDateTime::currentDateTimeUtc() });
    const std::vector<TransportDto> transports{ TransportDto{ QUuid::createUuid().toString(), QStringLiteral("tcp"),
                                                             QStringLiteral("192.0.2.7"), 60391,
                                                             QDateTime::currentSecsSinceEpoch(), true } };
    return PeerFactory::createInvitation(&other, 1, QUuid::createUuid().toString(), QStringLiteral("other"), password,
                                         quint64(QDateTime::currentSecsSinceEpoch()), transports)
        .toString();
}

// Menu-bar order, and a mnemonic on every menu and every entry.
void TestRemoteMenu::menusAndMnemonics()
{
    QStringList titles;
    for (QAction* menuAction : m_window->menuBar()->actions()) {
        if (!menuAction->isVisible())
            continue;
        titles << menuAction->text();
        QVERIFY2(menuAction->text().contains(QLatin1Char('&')), qPrintable(menuAction->text()));
        QSet<QChar> keys;
        for (QAction* entry : menuAction->menu()->actions()) {
            if (entry->isSeparator() || !entry->isVisible())
                continue;
            const int amp = entry->text().indexOf(QLatin1Char('&'));
            QVERIFY2(amp >= 0, qPrintable(entry->text()));
            keys.insert(entry->text().at(amp + 1).toLower());
        }
        QVERIFY(!keys.isEmpty());
    }
    // No documentation address configured: the Help menu has nothing that
    // works and stays hidden.
    QCOMPARE(titles, (QStringList{ "&Remote", "&Edit", "&Files view", "&Help" }));
    QMenu* remote = m_window->menuBar()->findChild<QMenu*>(QStringLiteral("remoteMenu"));
    QVERIFY(remote);
    QStringList entries;
    for (QAction* entry : remote->actions())
        entries << entry->objectName();
    QCOMPARE(entries, (QStringList{ "createInvitationAction", "addInvitationAction", "activeInvitationsAction",
                                    "networkAction" }));
}

void TestRemoteMenu::createEntriesFollowNetworkSwitch()
{
    for (bool enabled : { false, true, false }) {
        m_window->setNetworkEnabled(enabled);
        QCOMPARE(action("createInvitationAction")->isEnabled(), enabled);
        QCOMPARE(action("addInvitationAction")->isEnabled(), enabled);
        QCOMPARE(action("networkAction")->isEnabled(), true);
    }
}

void TestRemoteMenu::createThenCancelStoresNothing()
{
    openCreateDialog();
    QObject* dialog = m_window->createInviteDialog();
    const QString password = dialog->property("password").toString();
    QCOMPARE(password.size(), 8);
    QVERIFY(dialog->property("url").toString().startsWith(QLatin1String("velm:")));
    QVERIFY(QMetaObject::invokeMethod(dialog, "close"));
    QTRY_VERIFY(!dialog->property("visible").toBool());
    QTest::qWait(50);
    QVERIFY(m_rig->database()->getInvitations().empty());
    QCOMPARE(InvitationModel::instance()->rowCount(), 0);
    QVERIFY(!action("activeInvitationsAction")->isEnabled());
}

void TestRemoteMenu::createStoresInvitationAndCopies()
{
    openCreateDialog();
    QObject* dialog = m_window->createInviteDialog();
    const QString url = dialog->property("url").toString();
    const QString uuid = dialog->property("uuid").toString();
    const QString password = dialog->property("password").toString();
    // Made of the code alphabet, not of the uuid.
    for (QChar c : password)
        QVERIFY(InvitationCode::alphabet().contains(c));
    QVERIFY(!uuid.contains(password, Qt::CaseInsensitive));
    // The text opens with the code and names this machine.
    InvitationRecord record;
    QVERIFY(PeerFactory::decodeInvitation(url, password, &record));
    QCOMPARE(record.id, uuid);
    QCOMPARE(record.name, m_rig->ownPeer()->name());

    // The copy button.
    QVERIFY(QMetaObject::invokeMethod(dialog, "copyToClipboard", Q_ARG(QString, url)));
    QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), url);
    // An empty text leaves the clipboard alone.
    QVERIFY(QMetaObject::invokeMethod(dialog, "copyToClipboard", Q_ARG(QString, QString())));
    QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), url);

    shot(dialog, QStringLiteral("dialog-create"));
    // The create button.
    QVERIFY(QMetaObject::invokeMethod(dialog, "accept"));
    const std::vector<InvitationDto> stored = m_rig->database()->getInvitations();
    QCOMPARE(stored.size(), size_t(1));
    QCOMPARE(stored.front().uuid, uuid);
    QCOMPARE(stored.front().password, password);
    QCOMPARE(stored.front().expires - stored.front().timestamp, qint64(259200));
    QVERIFY(qAbs(stored.front().timestamp - QDateTime::currentSecsSinceEpoch()) < 600);
    QTRY_VERIFY(action("activeInvitationsAction")->isEnabled());
    QVERIFY(m_window->activeInvitationsDialog());
    QTRY_VERIFY(m_window->activeInvitationsDialog()->property("visible").toBool());
    QVERIFY(!dialog->property("visible").toBool());
}

void TestRemoteMenu::removingLastInvitationHidesList()
{
    // One that runs, one that ran out a minute ago.
    QStringList uuids;
    for (int i = 0; i < 2; ++i) {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        InvitationDto dto{ QUuid::createUuid().toString(), QStringLiteral("x"), InvitationCode::generate(),
                           i == 0 ? now : now - 259260, i == 0 ? now + 259200 : now - 60 };
        QVERIFY(m_rig->database()->putInvitation(dto));
        uuids << dto.uuid;
    }
    QTRY_COMPARE(InvitationModel::instance()->rowCount(), 2);
    QVERIFY(action("activeInvitationsAction")->isEnabled());
    action("activeInvitationsAction")->trigger();
    QObject* list = m_window->activeInvitationsDialog();
    QVERIFY(list);
    QTRY_VERIFY(list->property("visible").toBool());
    shot(list, QStringLiteral("dialog-active"));
    for (int i = 0; i < 2; ++i) {
        QQuickItem* row = nullptr;
        QTRY_VERIFY((row = findItem(qobject_cast<QQuickWindow*>(list)->contentItem(),
                                    QStringLiteral("invRow_") + uuids.at(i))));
        QCOMPARE(row->property("expired").toBool(), i == 1);
    }

    // The confirmation's delete button sends the uuid.
    QVERIFY(QMetaObject::invokeMethod(list, "deleteInvitation", Q_ARG(QString, uuids.at(0))));
    QTRY_COMPARE(InvitationModel::instance()->rowCount(), 1);
    QVERIFY(action("activeInvitationsAction")->isEnabled());
    QVERIFY(list->property("visible").toBool());

    QVERIFY(QMetaObject::invokeMethod(list, "deleteInvitation", Q_ARG(QString, uuids.at(1))));
    QTRY_COMPARE(InvitationModel::instance()->rowCount(), 0);
    QVERIFY(!action("activeInvitationsAction")->isEnabled());
    QTRY_VERIFY(!list->property("visible").toBool());
    QVERIFY(m_rig->database()->getInvitations().empty());
}

void TestRemoteMenu::acceptDialogValidation_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("valid");
    const QString code = QStringLiteral("Xk3mP9qr");
    const QString invitation = invitationFor(code);
    QTest::newRow("text and its code") << invitation << code << true;
    QTest::newRow("text, other code") << invitation << "Xk3mP9qs" << false;
    QTest::newRow("text, code of 7") << invitation << "Xk3mP9q" << false;
    QTest::newRow("garbage, code") << "velm:AAAA" << code << false;
    QTest::newRow("no text, code of 8") << "" << code << true;
    QTest::newRow("no text, code of 7") << "" << "Xk3mP9q" << false;
}

void TestRemoteMenu::acceptDialogValidation()
{
    QFETCH(QString, text);
    QFETCH(QString, code);
    QFETCH(bool, valid);
    action("addInvitationAction")->trigger();
    QObject* dialog = m_window->processInviteDialog();
    QVERIFY(dialog);
    QTRY_VERIFY(dialog->property("visible").toBool());
    QTRY_COMPARE(dialog->property("validation").toString(), QStringLiteral("empty"));
    QVERIFY(QMetaObject::invokeMethod(dialog, "setInvitation", Q_ARG(QVariant, text), Q_ARG(QVariant, code)));
    QTRY_VERIFY(dialog->property("validation").toString() != QLatin1String("validate"));
    QCOMPARE(dialog->property("valid").toBool(), valid);
    QCOMPARE(dialog->property("validation").toString(), valid ? QStringLiteral("valid") : QStringLiteral("invalid"));
    QQuickItem* accept = dialog->findChild<QQuickItem*>(QStringLiteral("acceptButton"));
    QVERIFY(accept);
    QCOMPARE(accept->isEnabled(), valid);
    shot(dialog, QStringLiteral("dialog-accept-") + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '_').replace(',', ""));
    // The field takes no more than 8 characters; the window itself turns
    // down a longer code.
    m_window->addInviteTextChanged(QString(), QStringLiteral("Xk3mP9qrs"));
    QCOMPARE(dialog->property("valid").toBool(), false);

    // A second use makes a new dialog; the old one goes.
    QPointer<QObject> old(dialog);
    action("addInvitationAction")->trigger();
    QVERIFY(m_window->processInviteDialog() != old.data());
    QTRY_VERIFY(old.isNull());
}

void TestRemoteMenu::addRemote_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("stored");
    QTest::newRow("code of 8") << "Xk3mP9qr" << true;
    QTest::newRow("code of 7") << "Xk3mP9q" << false;
    QTest::newRow("code of 9") << "Xk3mP9qrs" << false;
}

// Accept with only a code (the text comes by the local network): the code
// becomes an invitation password of the own peer; any other length only
// opens the machine list.
void TestRemoteMenu::addRemote()
{
    QFETCH(QString, code);
    QFETCH(bool, stored);
    action("addInvitationAction")->trigger();
    QObject* dialog = m_window->processInviteDialog();
    QVERIFY(dialog);
    QVERIFY(QMetaObject::invokeMethod(dialog, "addRemote", Q_ARG(QString, QString()), Q_ARG(QString, code)));
    QCOMPARE(m_window->filerHub()->activeFiler()->path(), QStringLiteral("%machinelist"));
    QStringList passwords;
    for (const PeerAttributeDto& attribute : m_rig->database()->getPeerAttributes(ownPeerUuid(), {})) {
        if (attribute.key == QLatin1String("invpw"))
            passwords << attribute.value;
    }
    QCOMPARE(passwords, stored ? QStringList{ code } : QStringList());
    QCOMPARE(m_rig->database()->getPeers(QStringLiteral("velm")).size(), size_t(1));
}

void TestRemoteMenu::peerMenu()
{
    m_window->openPeerMenu();
    QVERIFY(!m_window->peerMenu());

    RigPeer* up = m_rig->addPeer(QStringLiteral("Up & running"));
    RigPeer* down = m_rig->addPeer(QStringLiteral("down"), 0, IPeer::LinkDown);
    m_window->openPeerMenu();
    QMenu* menu = m_window->peerMenu();
    QVERIFY(menu);
    const QList<QAction*> entries = menu->actions();
    QCOMPARE(entries.size(), 3);
    QCOMPARE(entries.at(0)->data().toString(), ownPeerUuid());
    QCOMPARE(entries.at(1)->data().toString(), up->uuid());
    QCOMPARE(entries.at(1)->text(), QStringLiteral("Up && running"));
    QCOMPARE(entries.at(2)->data().toString(), down->uuid());
    QVERIFY(entries.at(0)->isEnabled());
    QVERIFY(entries.at(1)->isEnabled());
    QVERIFY(!entries.at(2)->isEnabled());

    entries.at(1)->trigger();
    Filer* filer = m_window->filerHub()->activeFiler();
    QCOMPARE(filer->peer(), up);
    QCOMPARE(filer->path(), QStringLiteral("%peerview"));
    menu->close();
    QTRY_VERIFY(!m_window->peerMenu());
}

void TestRemoteMenu::logAction()
{
    QAction channel(QStringLiteral("VMDL"));
    channel.setCheckable(true);
    channel.setData(uint(Logger::VMDL));
    connect(&channel, &QAction::triggered, m_window.get(), &MainWindow::logActionTriggered);
    QAction noData(QStringLiteral("none"));
    noData.setCheckable(true);
    connect(&noData, &QAction::triggered, m_window.get(), &MainWindow::logActionTriggered);

    const quint32 before = Logger::enabledMask();
    noData.trigger();
    QCOMPARE(Logger::enabledMask(), before);

    channel.trigger(); // checked
    QVERIFY(Logger::enabledMask() & (1u << Logger::VMDL));
    {
        QSettings settings(m_rig->configDirectory() + QStringLiteral("/config.ini"), QSettings::IniFormat);
        QCOMPARE(settings.value(QStringLiteral("Logger/VMDL")).toBool(), true);
    }
    channel.trigger(); // unchecked
    QVERIFY(!(Logger::enabledMask() & (1u << Logger::VMDL)));
    QSettings settings(m_rig->configDirectory() + QStringLiteral("/config.ini"), QSettings::IniFormat);
    QCOMPARE(settings.value(QStringLiteral("Logger/VMDL")).toBool(), false);
}

// The address comes from the settings; a handler stands in for the browser.
void TestRemoteMenu::onlineDocumentation()
{
    QVERIFY(!action("onlineDocsAction")->isVisible());
    m_window.reset();
    {
        QSettings settings(m_rig->configDirectory() + QStringLiteral("/config.ini"), QSettings::IniFormat);
        settings.setValue(QStringLiteral("help/documentationUrl"), QStringLiteral("http://127.0.0.1:9/docs"));
    }
    m_window = m_rig->createWindow();
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "handleUrl");
    QVERIFY(action("onlineDocsAction")->isVisible());
    action("onlineDocsAction")->trigger();
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    QCOMPARE(m_openedUrls, (QList<QUrl>{ QUrl(QStringLiteral("http://127.0.0.1:9/docs")) }));
}

// Machine A creates an invitation through its dialog; machine B accepts it
// through its own (the two run one after the other on their own
// configuration directories). B stores A with A's key, name, transport
// and the invitation's id, from which its peer factory builds A.
void TestRemoteMenu::pairTwoMachines()
{
    QByteArray keyOfA;
    for (const CryptoKeyDto& key : m_rig->database()->getCryptoKeys(ownPeerUuid()))
        keyOfA = key.key.left(32);
    openCreateDialog();
    QObject* create = m_window->createInviteDialog();
    const QString url = create->property("url").toString();
    const QString code = create->property("password").toString();
    const QString invitation = create->property("uuid").toString();
    QVERIFY(QMetaObject::invokeMethod(create, "accept"));
    QCOMPARE(m_rig->database()->getInvitations().size(), size_t(1));

    m_window.reset();
    m_rig.reset(new GuiTestRig);
    m_window = m_rig->createWindow();
    m_window->filerPanes().first()->createFiler(Filer::ViewColumns, QUuid::createUuid().toString());
    m_window->setNetworkEnabled(true);
    action("addInvitationAction")->trigger();
    QObject* accept = m_window->processInviteDialog();
    QVERIFY(accept);
    QTRY_COMPARE(accept->property("validation").toString(), QStringLiteral("empty"));
    QVERIFY(QMetaObject::invokeMethod(accept, "setInvitation", Q_ARG(QVariant, url), Q_ARG(QVariant, code)));
    QTRY_COMPARE(accept->property("validation").toString(), QStringLiteral("valid"));
    QVERIFY(QMetaObject::invokeMethod(accept, "accept"));

    std::vector<PeerDto> peers = m_rig->database()->getPeers(QStringLiteral("velm"));
    QCOMPARE(peers.size(), size_t(2));
    const QString uuidOfA = peers.at(0).uuid == ownPeerUuid() ? peers.at(1).uuid : peers.at(0).uuid;
    QStringList keys;
    for (const CryptoKeyDto& key : m_rig->database()->getCryptoKeys(uuidOfA))
        keys << QString::fromLatin1(key.key.toHex()) + QLatin1Char(' ') + key.type;
    QCOMPARE(keys, QStringList{ QString::fromLatin1(keyOfA.toHex()) + QStringLiteral(" pk") });
    QString name;
    QString invitationId;
    for (const PeerAttributeDto& attribute : m_rig->database()->getPeerAttributes(uuidOfA, {})) {
        if (attribute.key == QLatin1String("name"))
            name = attribute.value;
        if (attribute.key == QLatin1String("invitation"))
            invitationId = attribute.value;
    }
    QCOMPARE(name, QStringLiteral("This PC"));
    QCOMPARE(invitationId, invitation);
    QCOMPARE(m_rig->database()->getTransports(uuidOfA).size(), size_t(1));
    QCOMPARE(m_window->filerHub()->activeFiler()->path(), QStringLiteral("%machinelist"));

}

QTEST_MAIN(TestRemoteMenu)
#include "tst_remotemenu.moc"
