#pragma once

class AppLauncher;
class QAction;
class QMenu;

// The launcher's applications in a context menu, shared by the Filer and the
// node view: the first (preferred) application directly in the menu, then
// the extra action (the preview) when it is enabled, then the others under
// "Open with". Each application's entry carries its id in the dynamic
// property "app"; launch() opens the current selection with it.
class OpenWithMenu
{
public:
    static const char* const AppProperty;

    // Adds the rows of the launcher (its current selection) to the menu.
    static void fill(QMenu* menu, QAction* extraAction, AppLauncher* launcher);
    // For an action made by fill: launches its application and answers
    // true; any other action: false.
    static bool launch(QAction* action, AppLauncher* launcher);
};
