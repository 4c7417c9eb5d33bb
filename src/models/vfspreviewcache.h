#pragma once

#include <QCache>
#include <QImage>
#include <QPair>

// The preview images of every file-system model of the process in one cache,
// bounded by the bytes of all its images together: a process browsing many
// peers holds no more preview images than one browsing a single peer.
// Images are keyed by the model that asked for them and the model's entry.
// Main thread only.
class VfsPreviewCache
{
public:
    static constexpr int DefaultMaxBytes = 400000000;

    using Key = QPair<quintptr, quintptr>;

    static VfsPreviewCache& instance();

    // False when the image alone is larger than the bound; an image already
    // stored under the key goes in any case.
    bool insert(const void* owner, const void* entry, const QImage& image);
    const QImage* find(const void* owner, const void* entry) const;
    bool contains(const void* owner, const void* entry) const;
    void remove(const void* owner, const void* entry);
    // Every image of one owner.
    void removeAll(const void* owner);

    int maxBytes() const;
    // Lower bounds drop the least recently used images at once.
    void setMaxBytes(int bytes);
    int totalBytes() const;

private:
    VfsPreviewCache();
    static Key key(const void* owner, const void* entry);

    QCache<Key, QImage> m_images;
};
