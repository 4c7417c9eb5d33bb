#include "filer/fileractiontable.h"

#include <QAction>

namespace {

QList<FilerAction>& table()
{
    static QList<FilerAction> rows;
    return rows;
}

QKeySequence native(const char* text)
{
    return QKeySequence(QString::fromLatin1(text), QKeySequence::NativeText);
}

void add(const char* id, const QString& text, const QList<QKeySequence>& shortcuts)
{
    table().append(FilerAction{ QString::fromLatin1(id), text, shortcuts });
}

} // namespace

void FilerActionTable::build()
{
    const QString more = QStringLiteral("...");
    //% "Cut"
    add("filer.cut", qtTrId("action-cut"), QKeySequence::keyBindings(QKeySequence::Cut));
    //% "Copy"
    add("filer.copy", qtTrId("action-copy"), QKeySequence::keyBindings(QKeySequence::Copy));
    //% "Copy to other side"
    add("filer.copy-to", qtTrId("action-copy-to"), { QKeySequence(Qt::Key_F5) });
    //% "Move to other side"
    add("filer.move-to", qtTrId("action-move-to"), { QKeySequence(Qt::Key_F6) });
    //% "Paste"
    add("filer.paste", qtTrId("action-paste"), QKeySequence::keyBindings(QKeySequence::Paste));
    //% "Move to Trash"
    add("filer.trash", qtTrId("action-trash"),
        QKeySequence::keyBindings(QKeySequence::Delete) << QKeySequence(Qt::Key_F8));
    //% "Delete"
    add("filer.delete", qtTrId("action-delete") + more, { QKeySequence(Qt::SHIFT + Qt::Key_Delete) });
    //% "New folder"
    add("filer.new-folder", qtTrId("action-new-folder") + more,
        { native("Ctrl+Shift+N"), QKeySequence(Qt::Key_F7) });
    //% "Rename"
    add("filer.rename", qtTrId("action-rename"), { QKeySequence(Qt::Key_F2) });
    //% "Preview"
    add("filer.preview", qtTrId("action-preview"), { QKeySequence(Qt::Key_Space) });
    //% "as Icons"
    add("filer.view-icons", qtTrId("action-icon-view"), { native("Ctrl+3") });
    //% "as List"
    add("filer.view-list", qtTrId("action-list-view"), { native("Ctrl+1") });
    //% "as Columns"
    add("filer.view-column", qtTrId("action-column-view"), { native("Ctrl+2") });
    //% "New window"
    add("filer.new-window", qtTrId("action-new-window"), { native("Ctrl+N") });
    //% "Show hidden items"
    add("filer.show-hidden", qtTrId("action-show-hidden-items"), { native("Ctrl+H") });
    //% "Toggle right pane"
    add("nodeview.toggle-right", qtTrId("action-toggle-rightpane"), { native("Ctrl+Down") });
    //% "Open in right pane"
    add("filer.open-right", qtTrId("action-in-rightpane"), { native("Ctrl+Right") });
    //% "Open in new tab in right pane"
    add("filer.open-right-tab", qtTrId("action-in-rightpanetab"), { native("Shift+Right") });
    //% "Open in left pane"
    add("filer.open-left", qtTrId("action-in-leftpane"), { native("Ctrl+Left") });
    //% "Open in new tab in left pane"
    add("filer.open-left-tab", qtTrId("action-in-leftpanetab"), { native("Shift+Left") });
    //% "Open in new tab"
    // "Enter" is the key of the number pad; the main keyboard's key is Return.
    add("filer.open-in-tab", qtTrId("action-openin-tab"), { native("Shift+Enter"), native("Shift+Return") });
    //% "Properties"
    add("filer.show-props", qtTrId("action-show-props"), { native("Alt+Enter"), native("Alt+Return") });
    //% "Reveal in Explorer"
    add("filer.show-inexplorer", qtTrId("action-reveal-explorer"), { native("Alt+Ctrl+O") });
}

FilerAction FilerActionTable::find(const QString& id)
{
    for (const FilerAction& row : table()) {
        if (row.id == id)
            return row;
    }
    return FilerAction();
}

QList<FilerAction> FilerActionTable::rows()
{
    return table();
}

void FilerActionTable::clear()
{
    table().clear();
}

QAction* FilerActionTable::createAction(const QString& id, QObject* parent)
{
    const FilerAction row = find(id);
    auto* action = new QAction(row.text, parent);
    action->setObjectName(id);
    action->setShortcuts(row.shortcuts);
    return action;
}
