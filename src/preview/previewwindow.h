#pragma once

#include "models/preview.h"

#include <QImage>
#include <QQuickView>

#include <memory>

class IDatabase;
class ImageLoader;
class QQmlEngine;

// The preview window: one file of this machine shown large (photographs
// with their details, RAW, SVG, PDF pages) on the shared QML engine, from
// "qrc:/qml/Preview.qml" (made when first needed). It makes the process's image loader (the file
// model's thumbnails come from it too) and registers the "preview" image
// provider with the engine. Hidden until the first result of a loaded file
// arrives; Space and Escape hide it again.
class PreviewWindow : public QQuickView
{
    Q_OBJECT
public:
    PreviewWindow(QQmlEngine* engine, IDatabase* database, QWindow* parent = nullptr);
    ~PreviewWindow() override;

    // True for a file of the own machine (the whole null uuid) whose path
    // holds one of the suffixes the preview reads.
    static bool canPreview(const QString& peerUuid, const QString& path);

    // Shows the file once its first image is there. False, with the details
    // bar hidden, for another machine's file, a missing file or a path
    // without a suffix; the caller then says "no-preview-available".
    bool loadFile(const QString& peerUuid, const QString& path);

    // The window size and position for an image on a screen with that much
    // room, the window being at current.
    static QRect adjustedGeometry(const QSize& imageSize, const QRect& current, const QSize& available);

    // The page, made on first use (the window is made at start-up, its page
    // only when a file is first shown); null when it does not load.
    QQuickItem* page();

    QString path() const;
    QImage image() const;
    std::shared_ptr<ImageLoader> loader() const;

public slots:
    void copyImageToClipboard();
    void adjustWindowSize(const QSize& size);
    void onImageResult(const Preview::GetImageResult& result);

signals:
    void requestClose();
    void showPrevious();
    void showNext();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QQuickItem* exifItem() const;

    std::shared_ptr<ImageLoader> m_loader;
    QString m_peerUuid;
    QString m_path;
    QImage m_image;
};
