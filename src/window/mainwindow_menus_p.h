#pragma once

#include <QPointer>

class QAction;
class QInputDialog;
class QMenu;
class QObject;

// The window's menus and the invitation dialogs (the menu part of the main
// window's private data).
struct MainWindowMenusPrivate
{
    // Root objects of the dialog QML files on the shared engine, owned here
    // and deleted before the engine. The accept dialog is made anew on
    // every use.
    QObject* createInviteDialog = nullptr;
    QObject* activeInvitationsDialog = nullptr;
    QPointer<QObject> processInviteDialog;

    QMenu* remoteMenu = nullptr;
    QMenu* editMenu = nullptr;
    QMenu* viewMenu = nullptr;
    QMenu* helpMenu = nullptr;
    QAction* createInvitationAction = nullptr;
    QAction* addInvitationAction = nullptr;
    QAction* activeInvitationsAction = nullptr;
    QAction* networkAction = nullptr;
    QAction* onlineDocsAction = nullptr;

    // The Copy to or Move to dialog while it is open; it deletes itself
    // once closed.
    QPointer<QInputDialog> copyToDialog;
    // The peer menu last opened; it deletes itself once closed.
    QPointer<QMenu> peerMenu;
    // A create dialog asked for while the own transports are still being
    // gathered on the io thread: only the newest request is shown.
    quint64 createRequest = 0;
};
