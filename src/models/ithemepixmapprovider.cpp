#include "models/ithemepixmapprovider.h"

#include <QAtomicPointer>

namespace {
QAtomicPointer<IThemePixmapProvider> s_provider;
}

IThemePixmapProvider::~IThemePixmapProvider()
{
    // A provider that forgot to uninstall itself must not be called afterwards.
    s_provider.testAndSetOrdered(this, nullptr);
}

IThemePixmapProvider* IThemePixmapProvider::instance()
{
    return s_provider.loadAcquire();
}

void IThemePixmapProvider::install(IThemePixmapProvider* provider)
{
    s_provider.storeRelease(provider);
}
