#include "filer/filerhub.h"

#include "filer/filer.h"
#include "filer/filerpane.h"

FilerHub::FilerHub(QObject* parent) : QObject(parent) {}

FilerHub::~FilerHub() = default;

VfsCopyDto* FilerHub::clipboard()
{
    return &m_clipboard;
}

Filer* FilerHub::activeFiler() const
{
    return m_activePane ? m_activePane->currentFiler() : nullptr;
}

void FilerHub::setActiveFiler(FilerPane* filerPane, Filer* activeFiler)
{
    if (!filerPane || filerPane != m_activePane)
        return;
    // A Filer made at the address of a closed one is still news: the
    // remembered pointer went null when the old one was destroyed.
    if (m_announcedFiler.data() == activeFiler)
        return;
    m_announcedFiler = activeFiler;
    emit activeFilerChanged();
}

FilerPane* FilerHub::activeFilerPane() const
{
    return m_activePane;
}

void FilerHub::setActiveFilerPane(FilerPane* activeFilerPane)
{
    if (activeFilerPane == m_activePane)
        return;
    m_activePane = activeFilerPane;
    emit activeFilerPaneChanged();
}
