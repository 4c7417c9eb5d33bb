#include "filer/filer.h"
#include "filer/filer_p.h"

// Opening files with applications (after their copy when they live on
// another machine), extracting archives and the preview of the selection.

void Filer::onExtractActionTriggered()
{
    d->act(QStringLiteral("extract"));
}
