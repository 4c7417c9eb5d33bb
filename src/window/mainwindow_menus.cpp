// The window's menu bar (Remote, Edit, Files view, Help), the invitation
// dialogs and the commands that open a peer in the active pane.

#include "window/mainwindow.h"
#include "window/mainwindow_menus_p.h"

#include "core/appsettings.h"
#include "core/idatabase.h"
#include "core/invitationdto.h"
#include "core/logger.h"
#include "filer/filer.h"
#include "filer/filerhub.h"
#include "filer/filerpane.h"
#include "filer/sharedactions.h"
#include "jobs/vfscopydto.h"
#include "manager/connectionmanager.h"
#include "peer/invitationcode.h"
#include "peer/invitationmodel.h"
#include "peer/invitationrecord.h"
#include "peer/ipeer.h"
#include "peer/peerfactory.h"
#include "peer/peermodel.h"
#include "peer/peervelm.h"
#include "quick/themeimageprovider.h"

#include <QAction>
#include <QClipboard>
#include <QCursor>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QStackedWidget>
#include <QGuiApplication>
#include <QMenu>
#include <QMenuBar>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQmlProperty>
#include <QScreen>
#include <QSet>
#include <QSettings>
#include <QUrl>
#include <QUuid>

namespace {
// An invitation lives three days from its creation.
constexpr qint64 kInvitationLifeSecs = 259200;
const char kDocumentationKey[] = "help/documentationUrl";

QObject* createDialog(QQmlEngine* engine, const char* file)
{
    QQmlComponent component(engine, QUrl(QLatin1String(file)));
    QObject* object = component.create();
    if (!object)
        Logger::log(Logger::ERR1, "failed to create %s: %s", file, qUtf8Printable(component.errorString()));
    else
        QQmlEngine::setObjectOwnership(object, QQmlEngine::CppOwnership);
    return object;
}

// Gives every entry of a menu that has none a mnemonic: the first letter of
// its text that no other entry of the menu uses yet.
void assignMnemonics(QMenu* menu)
{
    QSet<QChar> used;
    const QList<QAction*> actions = menu->actions();
    for (QAction* action : actions) {
        const QString text = action->text();
        const int amp = text.indexOf(QLatin1Char('&'));
        if (amp >= 0 && amp + 1 < text.size())
            used.insert(text.at(amp + 1).toLower());
    }
    for (QAction* action : actions) {
        QString text = action->text();
        if (action->isSeparator() || text.isEmpty() || text.contains(QLatin1Char('&')))
            continue;
        for (int i = 0; i < text.size(); ++i) {
            const QChar c = text.at(i).toLower();
            if (text.at(i).isLetterOrNumber() && !used.contains(c)) {
                used.insert(c);
                text.insert(i, QLatin1Char('&'));
                action->setText(text);
                break;
            }
        }
    }
}
} // namespace

void MainWindow::createMenus()
{
    dm.reset(new MainWindowMenusPrivate);
    createRemoteMenu();

    //% "&Edit"
    dm->editMenu = menuBar()->addMenu(qtTrId("action-edit"));
    dm->editMenu->setObjectName(QStringLiteral("editMenu"));
    for (QAction* action : { SharedActions::newFolder.data(), SharedActions::cut.data(), SharedActions::copy.data(),
                             SharedActions::paste.data(), SharedActions::rename.data(), SharedActions::trash.data(),
                             SharedActions::deleteItems.data(), SharedActions::extract.data() }) {
        if (action)
            dm->editMenu->addAction(action);
    }
    assignMnemonics(dm->editMenu);

    //% "&Files view"
    dm->viewMenu = menuBar()->addMenu(qtTrId("action-view"));
    dm->viewMenu->setObjectName(QStringLiteral("viewMenu"));
    auto addAll = [this](std::initializer_list<QAction*> actions) {
        for (QAction* action : actions) {
            if (action)
                dm->viewMenu->addAction(action);
        }
    };
    addAll({ SharedActions::preview.data(), SharedActions::viewList.data(), SharedActions::viewColumns.data(),
             SharedActions::viewIcons.data(), SharedActions::showHidden.data() });
    dm->viewMenu->addSeparator();
    addAll({ SharedActions::toggleRight.data(), SharedActions::openRight.data(), SharedActions::openLeft.data() });
    dm->viewMenu->addSeparator();
    addAll({ SharedActions::newTab.data(), SharedActions::openLeftTab.data(), SharedActions::openRightTab.data(),
             SharedActions::newWindow.data() });
    addViewShareEntries(dm->viewMenu);
    assignMnemonics(dm->viewMenu);

    // Only what works: the documentation when its address is set, the
    // about box, and the update check when an update site is set.
    //% "&Help"
    dm->helpMenu = menuBar()->addMenu(qtTrId("action-help"));
    dm->helpMenu->setObjectName(QStringLiteral("helpMenu"));
    //% "Online &documentation"
    dm->onlineDocsAction = dm->helpMenu->addAction(qtTrId("action-online-docs"));
    dm->onlineDocsAction->setObjectName(QStringLiteral("onlineDocsAction"));
    connect(dm->onlineDocsAction, &QAction::triggered, this, &MainWindow::openOnlineDocumentation);
    {
        AppSettings appSettings;
        const QUrl url(appSettings.settings()->value(QLatin1String(kDocumentationKey)).toString());
        dm->onlineDocsAction->setVisible(url.isValid() && !url.isEmpty());
    }
    addHelpEntries(dm->helpMenu);
    assignMnemonics(dm->helpMenu);
}

void MainWindow::createRemoteMenu()
{
    //% "&Remote"
    dm->remoteMenu = menuBar()->addMenu(qtTrId("action-remote"));
    dm->remoteMenu->setObjectName(QStringLiteral("remoteMenu"));

    //% "&Create invitation..."
    dm->createInvitationAction = dm->remoteMenu->addAction(qtTrId("action-create-invitation"));
    dm->createInvitationAction->setObjectName(QStringLiteral("createInvitationAction"));
    connect(dm->createInvitationAction, &QAction::triggered, this, &MainWindow::showCreateInvitationDialog);

    //% "&Add by invitation..."
    dm->addInvitationAction = dm->remoteMenu->addAction(qtTrId("action-add-invitation"));
    dm->addInvitationAction->setObjectName(QStringLiteral("addInvitationAction"));
    connect(dm->addInvitationAction, &QAction::triggered, this, &MainWindow::showProcessInviteDialog);

    //% "Active &Invitations..."
    dm->activeInvitationsAction = dm->remoteMenu->addAction(qtTrId("action-active-invitations"));
    dm->activeInvitationsAction->setObjectName(QStringLiteral("activeInvitationsAction"));
    connect(dm->activeInvitationsAction, &QAction::triggered, this, &MainWindow::showActiveInvitationsDialog);

    //% "&Network"
    dm->networkAction = dm->remoteMenu->addAction(qtTrId("action-network"));
    dm->networkAction->setObjectName(QStringLiteral("networkAction"));
    connect(dm->networkAction, &QAction::triggered, this, [this] {
        if (Filer* filer = filerHub()->activeFiler())
            filer->gotoPath(QStringLiteral("%machinelist"));
    });

    InvitationModel* invitations = InvitationModel::instance();
    if (invitations) {
        connect(invitations, &QAbstractItemModel::rowsInserted, this, [this, invitations] {
            dm->activeInvitationsAction->setEnabled(invitations->rowCount() >= 1);
        });
        connect(invitations, &QAbstractItemModel::rowsRemoved, this, [this, invitations] {
            const int count = invitations->rowCount();
            dm->activeInvitationsAction->setEnabled(count > 0);
            if (count == 0 && dm->activeInvitationsDialog)
                QMetaObject::invokeMethod(dm->activeInvitationsDialog, "hide");
        });
        connect(invitations, &QAbstractItemModel::modelReset, this, [this, invitations] {
            dm->activeInvitationsAction->setEnabled(invitations->rowCount() > 0);
        });
    }
    dm->activeInvitationsAction->setEnabled(invitations && invitations->rowCount() > 0);
    updateRemoteMenu();
}

void MainWindow::destroyMenus()
{
    if (!dm)
        return;
    delete dm->peerMenu;
    delete dm->copyToDialog;
    delete dm->processInviteDialog;
    delete dm->createInviteDialog;
    dm->createInviteDialog = nullptr;
    delete dm->activeInvitationsDialog;
    dm->activeInvitationsDialog = nullptr;
}

// The two lasting dialogs are made on first use (a theme without the keys
// they read then only bothers someone who opens them) and kept to the end.
QObject* MainWindow::ensureCreateInviteDialog()
{
    if (!dm->createInviteDialog) {
        dm->createInviteDialog = createDialog(engine(), "qrc:/qml/dialogs/CreateInviteDialog.qml");
        if (dm->createInviteDialog) {
            connect(dm->createInviteDialog, SIGNAL(copyToClipboard(QString)), this,
                    SLOT(onInviteCopyToClipboard(QString)));
            connect(dm->createInviteDialog, SIGNAL(createInvitation(QString, QString, QString, QString)), this,
                    SLOT(onInvitationCreate(QString, QString, QString, QString)));
        }
    }
    return dm->createInviteDialog;
}

QObject* MainWindow::ensureActiveInvitationsDialog()
{
    if (!dm->activeInvitationsDialog) {
        dm->activeInvitationsDialog = createDialog(engine(), "qrc:/qml/dialogs/ActiveInvitationsDialog.qml");
        if (dm->activeInvitationsDialog)
            connect(dm->activeInvitationsDialog, SIGNAL(deleteInvitation(QString)), this,
                    SLOT(deleteInvitation(QString)));
    }
    return dm->activeInvitationsDialog;
}

void MainWindow::showActiveInvitationsDialog()
{
    if (QObject* dialog = ensureActiveInvitationsDialog()) {
        QMetaObject::invokeMethod(dialog, "show");
        QMetaObject::invokeMethod(dialog, "raise");
    }
}

QObject* MainWindow::createInviteDialog() const { return dm ? dm->createInviteDialog : nullptr; }
QObject* MainWindow::activeInvitationsDialog() const { return dm ? dm->activeInvitationsDialog : nullptr; }
QObject* MainWindow::processInviteDialog() const { return dm ? dm->processInviteDialog.data() : nullptr; }
QMenu* MainWindow::peerMenu() const { return dm ? dm->peerMenu.data() : nullptr; }

void MainWindow::updateRemoteMenu()
{
    if (!dm || !dm->createInvitationAction)
        return;
    dm->createInvitationAction->setEnabled(networkEnabled());
    dm->addInvitationAction->setEnabled(networkEnabled());
}

void MainWindow::showCreateInvitationDialog()
{
    if (!ensureCreateInviteDialog())
        return;
    const quint64 request = ++dm->createRequest;
    const QString uuid = QUuid::createUuid().toString();
    const QString password = InvitationCode::generate();
    if (password.isEmpty()) {
        Logger::log(Logger::ERR1, "no random generator for an invitation code");
        return;
    }
    QPointer<MainWindow> self(this);
    auto finish = [self, request, uuid, password](const std::vector<TransportDto>& transports) {
        if (self && self->dm && request == self->dm->createRequest)
            self->finishCreateInvitation(uuid, password, transports);
    };
    ConnectionManager* manager = connectionManager();
    if (!manager || manager->thread() == thread()) {
        finish(manager ? manager->localTransports() : std::vector<TransportDto>());
        return;
    }
    // The transports belong to the io thread: asked for there, the dialog
    // opens once they are back.
    QMetaObject::invokeMethod(manager, [manager, finish] {
        const std::vector<TransportDto> transports = manager->localTransports();
        QMetaObject::invokeMethod(qApp, [finish, transports] { finish(transports); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

void MainWindow::finishCreateInvitation(const QString& uuid, const QString& password,
                                        const std::vector<TransportDto>& transports)
{
    PeerModel* model = PeerModel::instance();
    IPeer* own = model ? model->getPeerForUuid(ownPeerUuid()) : nullptr;
    const quint32 deviceType = own ? quint32(own->deviceType()) : 0;
    const QString name = own ? own->name() : QString();
    const qint64 created = QDateTime::currentSecsSinceEpoch();
    const QString url = PeerFactory::createInvitation(database(), deviceType, uuid, name, password,
                                                      quint64(created), transports)
                            .toString();
    if (url.isEmpty())
        Logger::log(Logger::ERR1, "could not create an invitation");
    QQmlProperty::write(dm->createInviteDialog, QStringLiteral("url"), url);
    QQmlProperty::write(dm->createInviteDialog, QStringLiteral("uuid"), uuid);
    QQmlProperty::write(dm->createInviteDialog, QStringLiteral("password"), password);
    QQmlProperty::write(dm->createInviteDialog, QStringLiteral("invitationName"), name);
    QMetaObject::invokeMethod(dm->createInviteDialog, "show");
    QMetaObject::invokeMethod(dm->createInviteDialog, "raise");
}

void MainWindow::showProcessInviteDialog()
{
    if (dm->processInviteDialog)
        dm->processInviteDialog->deleteLater();
    QObject* dialog = createDialog(engine(), "qrc:/qml/dialogs/ProcessInviteDialog.qml");
    dm->processInviteDialog = dialog;
    if (!dialog)
        return;
    connect(dialog, SIGNAL(textChanged(QString, QString)), this, SLOT(addInviteTextChanged(QString, QString)));
    connect(dialog, SIGNAL(addRemote(QString, QString)), this, SLOT(addRemoteByInvitationUrl(QString, QString)));
    QMetaObject::invokeMethod(dialog, "show");
    QMetaObject::invokeMethod(dialog, "raise");
}

void MainWindow::onInviteCopyToClipboard(const QString& url)
{
    if (url.isEmpty())
        return;
    QGuiApplication::clipboard()->setText(url, QClipboard::Clipboard);
    Logger::log(Logger::NFO1, "copy invitation url: %s", qUtf8Printable(url));
}

void MainWindow::onInvitationCreate(const QString& uuid, const QString& name, const QString& url,
                                    const QString& password)
{
    Logger::log(Logger::NFO1, "create invitation: %s, %s, %s, %s", qUtf8Printable(uuid), qUtf8Printable(name),
                qUtf8Printable(url), qUtf8Printable(password));
    if (uuid.isEmpty() || !InvitationCode::hasCodeLength(password) || !database())
        return;
    InvitationDto dto;
    dto.uuid = uuid;
    dto.name = name;
    dto.password = password;
    dto.timestamp = QDateTime::currentSecsSinceEpoch();
    dto.expires = dto.timestamp + kInvitationLifeSecs;
    if (!database()->putInvitation(dto)) {
        Logger::log(Logger::ERR1, "failed to store invitation %s", qUtf8Printable(uuid));
        return;
    }
    showActiveInvitationsDialog();
}

void MainWindow::addInviteTextChanged(const QString& text, const QString& password)
{
    bool valid = false;
    if (!text.isEmpty() && InvitationCode::hasCodeLength(password)) {
        InvitationRecord record;
        valid = PeerFactory::decodeInvitation(text, password, &record);
    } else {
        valid = text.isEmpty() && InvitationCode::hasCodeLength(password);
    }
    Logger::log(Logger::NFO1, "add invite text changed : %s, password: %s, valid: %u", qUtf8Printable(text),
                qUtf8Printable(password), unsigned(valid));
    if (dm->processInviteDialog)
        QQmlProperty::write(dm->processInviteDialog, QStringLiteral("valid"), valid);
}

void MainWindow::addRemoteByInvitationUrl(const QString& text, const QString& password)
{
    if (Filer* filer = filerHub()->activeFiler())
        filer->gotoPath(QStringLiteral("%machinelist"));
    if (!InvitationCode::hasCodeLength(password) || !database())
        return;
    if (!text.isEmpty())
        PeerFactory::acceptInvitation(database(), text, password);
    else
        PeerFactory::addInvitationPassword(database(), password);
}

bool MainWindow::deleteInvitation(const QString& uuid)
{
    return database() && database()->deleteInvitation(uuid);
}

void MainWindow::openOnlineDocumentation()
{
    AppSettings appSettings;
    const QUrl url(appSettings.settings()->value(QLatin1String(kDocumentationKey)).toString());
    if (url.isValid() && !url.isEmpty())
        QDesktopServices::openUrl(url);
}

void MainWindow::logActionTriggered(bool checked)
{
    auto* action = qobject_cast<QAction*>(sender());
    if (!action || !action->data().isValid())
        return;
    bool ok = false;
    const uint channel = action->data().toUInt(&ok);
    if (!ok)
        return;
    if (checked)
        Logger::enable(int(channel));
    else
        Logger::disable(int(channel));
    AppSettings appSettings;
    Logger::save(appSettings.settings());
    appSettings.settings()->sync();
}

void MainWindow::openPeerMenu()
{
    PeerModel* model = PeerModel::instance();
    if (!model || model->rowCount() <= 1)
        return;
    delete dm->peerMenu;
    auto* menu = new QMenu;
    menu->setObjectName(QStringLiteral("peerMenu"));
    menu->setAttribute(Qt::WA_DeleteOnClose);
    ThemeImageProvider* icons = ThemeImageProvider::instance();
    for (int row = 0; row < model->rowCount(); ++row) {
        IPeer* peer = model->getPeerForRow(row);
        if (!peer)
            continue;
        QIcon icon;
        if (icons) {
            QSize size;
            icon = QIcon(icons->requestPixmap(QStringLiteral("icon/") + peer->icon() + QStringLiteral(".svg"), &size,
                                              QSize(32, 32)));
        }
        // Names come from peers: an ampersand is a letter, not a mnemonic.
        QString text = peer->name();
        text.replace(QLatin1Char('&'), QLatin1String("&&"));
        QAction* entry = menu->addAction(icon, text);
        entry->setData(peer->uuid());
        entry->setEnabled(peer->linkState() == IPeer::LinkUp);
        const QString uuid = peer->uuid();
        connect(entry, &QAction::triggered, this, [this, uuid] { onPeerSelected2(uuid); });
    }
    dm->peerMenu = menu;
    menu->popup(QCursor::pos());
}

void MainWindow::onPeerSelected(IPeer* peer)
{
    if (!peer)
        return;
    FilerPane* pane = filerHub()->activeFilerPane();
    if (pane)
        pane->setPeer(peer);
    if (Filer* filer = filerHub()->activeFiler()) {
        emit filer->peerSelected();
        filer->showPeerView();
    }
}

void MainWindow::onPeerSelected2(const QString& peerUuid)
{
    if (auto* pane = qobject_cast<FilerPane*>(sender()))
        filerHub()->setActiveFilerPane(pane);
    PeerModel* model = PeerModel::instance();
    if (IPeer* peer = model ? model->getPeerForUuid(peerUuid) : nullptr)
        onPeerSelected(peer);
}

void MainWindow::onPeerPathSelected(IPeer* peer, const QString& path)
{
    if (!peer)
        return;
    Filer* filer = filerHub()->activeFiler();
    if (!filer)
        return;
    filer->setPeer(peer);
    filer->resolvePath(path); // goes there once the path is known
    filer->setFocus();
}

void MainWindow::onPeerPathSelected2(const QString& peerUuid, const QString& path)
{
    PeerModel* model = PeerModel::instance();
    if (IPeer* peer = model ? model->getPeerForUuid(peerUuid) : nullptr)
        onPeerPathSelected(peer, path);
}

// ---- Copy to and Move to -------------------------------------------------------

namespace {

// The places a Filer shows that are no directory of a peer.
bool isPseudoPath(const QString& path)
{
    for (const char* pseudo : { "%peerview", "%machinelist", "%home", "%shares" }) {
        if (path == QLatin1String(pseudo) || path.startsWith(QLatin1String(pseudo) + QLatin1Char('/')))
            return true;
    }
    return path.startsWith(QLatin1Char('%'));
}

} // namespace

void MainWindow::onCopyToActionTriggered()
{
    startCopyTo(false);
}

void MainWindow::onMoveToActionTriggered()
{
    startCopyTo(true);
}

// Puts the active pane's selection into the clipboard and asks where it goes;
// the answer arrives through the dialog's signal, never a nested loop.
void MainWindow::startCopyTo(bool move)
{
    const QList<FilerPane*> panes = filerPanes();
    QAction* action = move ? SharedActions::cut.data() : SharedActions::copy.data();
    if (panes.size() < 2 || rightStack()->currentWidget() != panes.last() || !action || !action->isEnabled())
        return;
    FilerPane* source = filerHub()->activeFilerPane();
    if (!source)
        return;
    FilerPane* target = source == panes.first() ? panes.last() : panes.first();
    Filer* sourceFiler = source->currentFiler();
    Filer* targetFiler = target->currentFiler();
    if (!sourceFiler || !targetFiler || !sourceFiler->selectionModel()
        || !sourceFiler->selectionModel()->hasSelection())
        return;
    action->trigger();
    VfsCopyDto* record = filerHub()->clipboard();
    if (!record || record->entries.empty())
        return;

    delete dm->copyToDialog;
    auto* dialog = new QInputDialog(nullptr, Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    dialog->setObjectName(QStringLiteral("copyToDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setProperty("move", move);
    dialog->setStyleSheet(QStringLiteral("QLabel {min-width: 350px;}"));
    if (move) {
        //% "Move to other file pane"
        dialog->setWindowTitle(qtTrId("title-move-to"));
        //% "Move to"
        dialog->setLabelText(qtTrId("label-moveto-destination"));
        //% "Move"
        dialog->setOkButtonText(qtTrId("btn-move"));
    } else {
        //% "Copy to other file pane"
        dialog->setWindowTitle(qtTrId("title-copy-to"));
        //% "Copy to"
        dialog->setLabelText(qtTrId("label-copyto-destination"));
        dialog->setOkButtonText(qtTrId("btn-copy"));
    }
    const QString offered = targetFiler->path();
    dialog->setTextValue(isPseudoPath(offered) ? QString() : offered);
    dialog->setCancelButtonText(qtTrId("btn-cancel"));
    if (auto* box = dialog->findChild<QDialogButtonBox*>()) {
        for (QAbstractButton* button : box->buttons())
            button->setIcon(QIcon());
    }
    dialog->adjustSize();
    dialog->move(geometry().center() - dialog->rect().center());
    dialog->setWindowModality(Qt::ApplicationModal);

    QPointer<FilerPane> sourcePane(source);
    QPointer<FilerPane> targetPane(target);
    connect(dialog, &QInputDialog::textValueSelected, this, [this, sourcePane, targetPane](const QString& text) {
        finishCopyTo(sourcePane, targetPane, text);
    });
    dm->copyToDialog = dialog;
    dialog->show();
}

void MainWindow::finishCopyTo(FilerPane* source, FilerPane* target, const QString& destination)
{
    Filer* sourceFiler = source ? source->currentFiler() : nullptr;
    VfsCopyDto* record = filerHub()->clipboard();
    if (!source || !target || !record || record->entries.empty())
        return;
    if (destination.isEmpty() || isPseudoPath(destination)) {
        Logger::log(Logger::VFS1, "copy to refused: \"%s\" is no directory", qUtf8Printable(destination));
        //% "Give a folder to copy into"
        QString message = qtTrId("copyto-no-destination");
        if (!destination.isEmpty()) {
            //% "%1 is no folder to copy into"
            message = qtTrId("copyto-not-a-folder").arg(destination);
        }
        if (sourceFiler)
            sourceFiler->showStatusMessage(message, 8000);
        return;
    }
    record->dstPath = destination;
    filerHub()->setActiveFilerPane(target);
    if (Filer* filer = target->currentFiler())
        filerHub()->setActiveFiler(target, filer);
    if (SharedActions::paste)
        SharedActions::paste->trigger();
    // The typed directory serves this paste only, also when it went nowhere.
    record->dstPath.clear();
    filerHub()->setActiveFilerPane(source);
    if (sourceFiler) {
        filerHub()->setActiveFiler(source, sourceFiler);
        sourceFiler->setFocus(Qt::OtherFocusReason);
    }
}
