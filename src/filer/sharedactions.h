#pragma once

#include <QPointer>

class QAction;

// The process-wide slots of the shared actions: each command is one QAction
// for the whole process, added to every widget whose focus should trigger it
// and connected to every object that reacts. The main window fills the
// first group, the first and second file panes the second. A slot reads null
// before its action is made and after it is gone.
struct SharedActions
{
    // made by the main window
    static QPointer<QAction> cut;
    static QPointer<QAction> copy;
    static QPointer<QAction> copyTo;
    static QPointer<QAction> moveTo;
    static QPointer<QAction> paste;
    static QPointer<QAction> trash;
    static QPointer<QAction> deleteItems;
    static QPointer<QAction> extract;
    static QPointer<QAction> newFolder;
    static QPointer<QAction> rename;
    static QPointer<QAction> clearMarked;
    static QPointer<QAction> preview;
    static QPointer<QAction> viewList;
    static QPointer<QAction> viewColumns;
    static QPointer<QAction> viewIcons;
    static QPointer<QAction> newWindow;
    static QPointer<QAction> showNodeView;
    static QPointer<QAction> showAlternateFiler;
    static QPointer<QAction> showHidden;
    static QPointer<QAction> showProperties;
    static QPointer<QAction> showInExplorer;
    static QPointer<QAction> shareDrive;
    static QPointer<QAction> toggleRight;

    // made by the file panes
    static QPointer<QAction> newTab;
    static QPointer<QAction> closeTab;
    static QPointer<QAction> openRight;
    static QPointer<QAction> openLeft;
    static QPointer<QAction> openLeftTab;
    static QPointer<QAction> openRightTab;
};
