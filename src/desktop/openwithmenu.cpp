#include "desktop/openwithmenu.h"

#include "desktop/applauncher.h"
#include "quick/themeimageprovider.h"

#include <QAction>
#include <QMenu>

const char* const OpenWithMenu::AppProperty = "app";

void OpenWithMenu::fill(QMenu* menu, QAction* extraAction, AppLauncher* launcher)
{
    if (!menu || !launcher)
        return;
    const int n = launcher->rowCount();
    QMenu* more = nullptr;
    if (n > 1)
        //% "Open with"
        more = new QMenu(qtTrId("menu-open-with"), menu);
    for (int r = 0; r < n; ++r) {
        const QModelIndex row = launcher->index(r, 0);
        QMenu* target = r == 0 ? menu : more;
        QAction* action = target->addAction(
            ThemeImageProvider::iconFromTheme(QStringLiteral("app/")
                                              + launcher->data(row, AppLauncher::AppIconRole).toString()),
            launcher->data(row, AppLauncher::NameRole).toString());
        action->setProperty(AppProperty, launcher->data(row, AppLauncher::AppIdRole).toInt());
    }
    if (extraAction && extraAction->isEnabled())
        menu->addAction(extraAction);
    if (more)
        menu->addMenu(more);
}

bool OpenWithMenu::launch(QAction* action, AppLauncher* launcher)
{
    if (!action || !launcher)
        return false;
    const QVariant app = action->property(AppProperty);
    if (!app.isValid())
        return false;
    launcher->launch(app.toInt());
    return true;
}
