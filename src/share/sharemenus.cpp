#include "share/sharemenus.h"

#include "core/appsettings.h"
#include "peer/ipeer.h"
#include "peer/peervelm.h"
#include "quick/themeimageprovider.h"

#include <QAction>
#include <QMenu>
#include <QPixmap>
#include <QSettings>

namespace {
const char kShareDriveKey[] = "filerShareDrive";

QString entryText(IPeer* peer)
{
    const QString name = peer->displayName().isEmpty() ? peer->name() : peer->displayName();
    return name + QStringLiteral("...");
}

// One entry per known peer; the submenu goes again when it has none.
int fill(QMenu* menu, const QString& title, const char* objectName, const ShareMenus::Inputs& in, bool withOwn,
         bool withIcons, const char* slot)
{
    auto* submenu = new QMenu(title, menu);
    submenu->setObjectName(QLatin1String(objectName));
    const QString own = ownPeerUuid();
    for (const QString& uuid : in.peerUuids) {
        if (!withOwn && uuid == own)
            continue;
        IPeer* peer = in.knownPeer ? in.knownPeer(uuid) : nullptr;
        if (!peer)
            continue;
        QAction* action = submenu->addAction(entryText(peer));
        action->setData(uuid);
        if (withIcons && in.peerIcon)
            action->setIcon(QIcon(in.peerIcon(peer)));
        if (in.receiver && slot)
            QObject::connect(action, SIGNAL(triggered()), in.receiver, slot);
    }
    if (submenu->actions().isEmpty()) {
        delete submenu;
        return 0;
    }
    menu->addMenu(submenu);
    return 1;
}
} // namespace

int ShareMenus::addShareSubmenus(QMenu* menu, const Inputs& inputs)
{
    if (!menu || !inputs.ownMachine)
        return 0;
    //% "Share with"
    int added = fill(menu, qtTrId("menu-share-with"), "menu-share-with", inputs, false, true, inputs.shareSlot);
    if (inputs.shareDrive) {
        //% "Share drive with"
        added += fill(menu, qtTrId("menu-share-drive-with"), "menu-share-drive-with", inputs, true, false,
                      inputs.shareDriveSlot);
    }
    return added;
}

QPixmap ShareMenus::themeIcon(IPeer* peer)
{
    ThemeImageProvider* provider = ThemeImageProvider::instance();
    if (!provider || !peer || peer->icon().isEmpty())
        return QPixmap();
    QSize size;
    return provider->requestPixmap(QStringLiteral("icon/") + peer->icon() + QStringLiteral(".svg"), &size,
                                   QSize(32, 32));
}

void ShareMenus::restoreShareDrive(QAction* shareDrive)
{
    if (!shareDrive)
        return;
    shareDrive->setCheckable(true);
    {
        AppSettings appSettings;
        shareDrive->setChecked(appSettings.settings()->value(QLatin1String(kShareDriveKey), false).toBool());
    }
    QObject::connect(shareDrive, &QAction::toggled, shareDrive, [](bool checked) {
        AppSettings appSettings;
        appSettings.settings()->setValue(QLatin1String(kShareDriveKey), checked);
        appSettings.settings()->sync();
    });
}

void ShareMenus::addToViewMenu(QMenu* view, QAction* shareDrive)
{
    if (!view || !shareDrive)
        return;
    view->addSeparator();
    view->addAction(shareDrive);
}
