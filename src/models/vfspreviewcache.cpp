#include "models/vfspreviewcache.h"

VfsPreviewCache::VfsPreviewCache() : m_images(DefaultMaxBytes) {}

VfsPreviewCache& VfsPreviewCache::instance()
{
    static VfsPreviewCache cache;
    return cache;
}

VfsPreviewCache::Key VfsPreviewCache::key(const void* owner, const void* entry)
{
    return Key(quintptr(owner), quintptr(entry));
}

bool VfsPreviewCache::insert(const void* owner, const void* entry, const QImage& image)
{
    const qsizetype bytes = image.sizeInBytes();
    if (bytes < 0 || bytes > m_images.maxCost()) {
        m_images.remove(key(owner, entry));
        return false;
    }
    // QCache deletes the image when it refuses it.
    return m_images.insert(key(owner, entry), new QImage(image), int(bytes));
}

const QImage* VfsPreviewCache::find(const void* owner, const void* entry) const
{
    // QCache's const lookup does not refresh the image's place; a lookup
    // from the views should.
    return const_cast<QCache<Key, QImage>&>(m_images).object(key(owner, entry));
}

bool VfsPreviewCache::contains(const void* owner, const void* entry) const
{
    return m_images.contains(key(owner, entry));
}

void VfsPreviewCache::remove(const void* owner, const void* entry)
{
    m_images.remove(key(owner, entry));
}

void VfsPreviewCache::removeAll(const void* owner)
{
    const quintptr o = quintptr(owner);
    const QList<Key> keys = m_images.keys();
    for (const Key& k : keys) {
        if (k.first == o)
            m_images.remove(k);
    }
}

int VfsPreviewCache::maxBytes() const
{
    return m_images.maxCost();
}

void VfsPreviewCache::setMaxBytes(int bytes)
{
    m_images.setMaxCost(qMax(0, bytes));
}

int VfsPreviewCache::totalBytes() const
{
    return m_images.totalCost();
}
