#pragma once

// A stand-in image loader for tests of the preview queue (link velm_models):
// its loads wait at a gate until the test lets them through, one at a time
// or all; it counts the loads inside at once and notes the order in which
// they came. Each image is filled with colourFor(file name, mtime).

#include "models/preview.h"

#include <QColor>
#include <QFileInfo>
#include <QImage>
#include <QList>
#include <QMutex>
#include <QStringList>
#include <QWaitCondition>

#include <algorithm>

// The colour of the images made for a file name at a modification time.
inline QColor colourFor(const QString& name, qint64 mtime)
{
    return QColor(QColor::fromHsv(int((qHash(name) + uint(mtime / 1000) * 37) % 360), 200, 200).rgb());
}

class GatedPreview : public Preview
{
public:
    ~GatedPreview() override
    {
        open();
        waitForJobs();
    }

    GetImageResult getImage(const GetImageRequest& request) const override
    {
        const QString name = QFileInfo(request.path).fileName();
        {
            QMutexLocker lock(&m_mutex);
            m_started << name;
            m_mtimes << request.mtime;
            m_mostInside = std::max(m_mostInside, ++m_inside);
            while (!m_open && m_passes == 0)
                m_gate.wait(&m_mutex);
            if (!m_open)
                --m_passes;
        }
        GetImageResult result;
        result.path = request.path;
        for (const QSize& bound : request.bounds) {
            result.size = result.size.expandedTo(bound);
            QImage image(bound, QImage::Format_ARGB32);
            image.fill(colourFor(name, request.mtime));
            result.images.push_back(image);
        }
        QMutexLocker lock(&m_mutex);
        --m_inside;
        ++m_done;
        return result;
    }

    void pass(int loads = 1)
    {
        QMutexLocker lock(&m_mutex);
        m_passes += loads;
        m_gate.wakeAll();
    }
    void open()
    {
        QMutexLocker lock(&m_mutex);
        m_open = true;
        m_gate.wakeAll();
    }
    int inside() const { QMutexLocker lock(&m_mutex); return m_inside; }
    int mostInside() const { QMutexLocker lock(&m_mutex); return m_mostInside; }
    int done() const { QMutexLocker lock(&m_mutex); return m_done; }
    QStringList started() const { QMutexLocker lock(&m_mutex); return m_started; }
    QList<qint64> mtimes() const { QMutexLocker lock(&m_mutex); return m_mtimes; }

private:
    mutable QMutex m_mutex;
    mutable QWaitCondition m_gate;
    mutable int m_inside = 0;
    mutable int m_mostInside = 0;
    mutable int m_done = 0;
    mutable int m_passes = 0;
    bool m_open = false;
    mutable QStringList m_started;
    mutable QList<qint64> m_mtimes;
};

// Opens the gate before the rig waits for the pool.
struct GateOpener
{
    GatedPreview& preview;
    ~GateOpener() { preview.open(); }
};
