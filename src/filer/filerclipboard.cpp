#include "filer/filer.h"
#include "filer/filer_p.h"

#include "filer/sharedactions.h"

#include <QAction>

// Copy, cut, paste and the copy marks.

void Filer::onCopyActionTriggered()
{
    const bool cut = sender() && sender() == SharedActions::cut.data();
    d->act(cut ? QStringLiteral("cut") : QStringLiteral("copy"));
}

void Filer::onPasteActionTriggered()
{
    d->act(QStringLiteral("paste"));
}

void Filer::clearMarkedFiles()
{
    d->act(QStringLiteral("clear-marked"));
}
