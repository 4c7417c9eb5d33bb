#pragma once

#include <QStringList>

#include <functional>

class IPeer;
class QAction;
class QMenu;
class QObject;
class QPixmap;

// The share entries of a file view's context menu and the "Share drive"
// switch of the View menu.
class ShareMenus
{
public:
    struct Inputs
    {
        // Whether the view shows the own machine; only its items are shared.
        bool ownMachine = false;
        // The stored peers' uuids, in store order (IDatabase::getPeers).
        QStringList peerUuids;
        // The loaded peer of a uuid, or null (PeerModel::getPeerForUuid).
        std::function<IPeer*(const QString&)> knownPeer;
        // Whether "Share drive" is checked.
        bool shareDrive = false;
        // Each entry's triggered() goes to these slots (SLOT(...)); the
        // entry's data is the peer's uuid.
        QObject* receiver = nullptr;
        const char* shareSlot = nullptr;
        const char* shareDriveSlot = nullptr;
        // The icon of a peer's "Share with" entry; none when not set.
        std::function<QPixmap(IPeer*)> peerIcon;
    };

    // Adds "Share with" (every known peer but the own one) and, while
    // "Share drive" is checked, "Share drive with" (every known peer) to
    // `menu`. Nothing for a view of another machine; a submenu that would
    // stay empty is not added. Returns the number of submenus added.
    static int addShareSubmenus(QMenu* menu, const Inputs& inputs);

    // The 32-pixel theme icon of a peer ("icon/<name>.svg").
    static QPixmap themeIcon(IPeer* peer);

    // "Share drive": takes its saved checked state, and saves every change
    // with the view settings ("filerShareDrive" of config.ini).
    static void restoreShareDrive(QAction* shareDrive);
    // Puts "Share drive" into the View menu, after a separator.
    static void addToViewMenu(QMenu* view, QAction* shareDrive);
};
