#pragma once

#include "filer/fileraction.h"

class QAction;
class QObject;

// The one table of the window's commands with default keys, so labels and
// shortcuts are defined in one place. The labels are translated when the
// table is built: install the translators first.
class FilerActionTable
{
public:
    // Appends the rows, in table order. Called once by the main window.
    static void build();
    // A copy of the row with that id; a row with empty id, text and
    // shortcuts when there is none.
    static FilerAction find(const QString& id);
    // Every row, in table order.
    static QList<FilerAction> rows();
    // Empties the table (for tests that build it more than once).
    static void clear();

    // A QAction with the row's label and shortcuts.
    static QAction* createAction(const QString& id, QObject* parent);
};
