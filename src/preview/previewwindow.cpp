#include "preview/previewwindow.h"

#include "core/appsettings.h"
#include "core/logger.h"
#include "imaging/imageloader.h"
#include "preview/previewimageprovider.h"
#include "preview/previewurl.h"

#include <QClipboard>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScreen>

static void initPreviewResources()
{
    Q_INIT_RESOURCE(preview);
}

namespace {

constexpr int kHiddenWidth = 600;
constexpr int kHiddenHeight = 500;

} // namespace

PreviewWindow::PreviewWindow(QQmlEngine* engine, IDatabase* database, QWindow* parent)
    : QQuickView(engine, parent),
      m_loader(std::make_shared<ImageLoader>(database, appArgumentInt(QStringLiteral("--imgcache"), 1) > 0))
{
    initPreviewResources();
    setObjectName(QStringLiteral("previewWindow"));
    qRegisterMetaType<Preview::GetImageResult>("Preview::GetImageResult");

    // The engine owns the provider; it keeps the loader for jobs still running.
    auto* provider = new PreviewImageProvider(m_loader);
    connect(provider, &PreviewImageProvider::imageSize, this, &PreviewWindow::adjustWindowSize);
    connect(provider, &PreviewImageProvider::imageResult, this, &PreviewWindow::onImageResult);
    engine->addImageProvider(QStringLiteral("preview"), provider);

    resize(kHiddenWidth, kHiddenHeight);
    setIcon(QIcon(QStringLiteral(":/icons/app-icon.svg")));
    setFlags((Qt::Window | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
              | Qt::CustomizeWindowHint | Qt::WindowCloseButtonHint)
             & ~Qt::WindowStaysOnTopHint);
    setModality(Qt::NonModal);
    setResizeMode(QQuickView::SizeRootObjectToView);
}

QQuickItem* PreviewWindow::page()
{
    if (rootObject() || status() == QQuickView::Error)
        return rootObject();
    setSource(QUrl(QStringLiteral("qrc:/qml/Preview.qml")));
    QQuickItem* root = rootObject();
    if (!root) {
        Logger::log(Logger::ERR1, "preview page failed to load");
        return nullptr;
    }
    connect(root, SIGNAL(copy()), this, SLOT(copyImageToClipboard()));
    connect(root, SIGNAL(previous()), this, SIGNAL(showPrevious()));
    connect(root, SIGNAL(next()), this, SIGNAL(showNext()));
    return root;
}

PreviewWindow::~PreviewWindow() = default;

bool PreviewWindow::canPreview(const QString& peerUuid, const QString& path)
{
    return Preview::canPreview(peerUuid, path);
}

QQuickItem* PreviewWindow::exifItem() const
{
    QQuickItem* root = rootObject();
    if (!root)
        return nullptr;
    for (QQuickItem* child : root->childItems()) {
        if (child->objectName() == QLatin1String("previewExif"))
            return child;
    }
    return root->findChild<QQuickItem*>(QStringLiteral("previewExif"));
}

bool PreviewWindow::loadFile(const QString& peerUuid, const QString& path)
{
    page();
    QQuickItem* exif = exifItem();
    auto refuse = [exif] {
        if (exif)
            exif->setVisible(false);
        return false;
    };
    // Another machine's path means nothing here.
    if (!canPreview(peerUuid, path))
        return refuse();
    if (!QFileInfo::exists(path)) {
        Logger::log(Logger::NFO2, "abort peview file: %s, doesn't exist", qUtf8Printable(path));
        return refuse();
    }
    if (!path.contains(QLatin1Char('.')))
        return refuse();
    const bool pdf = path.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive);
    const QString url = PreviewUrl::make(peerUuid, path, pdf ? QStringLiteral("page=0") : QString());
    m_peerUuid = peerUuid;
    m_path = path;
    m_image = QImage();
    if (QQuickItem* root = rootObject()) {
        root->setProperty("fileName", QFileInfo(path).fileName());
        root->setProperty("path", url);
        root->setProperty("img", url);
    }
    return true;
}

QString PreviewWindow::path() const
{
    return m_path;
}

QImage PreviewWindow::image() const
{
    return m_image;
}

std::shared_ptr<ImageLoader> PreviewWindow::loader() const
{
    return m_loader;
}

void PreviewWindow::copyImageToClipboard()
{
    if (m_image.isNull())
        return;
    Logger::log(Logger::NFO1, "copy image to clipboard");
    QGuiApplication::clipboard()->setImage(m_image, QClipboard::Clipboard);
}

void PreviewWindow::onImageResult(const Preview::GetImageResult& result)
{
    Logger::log(Logger::NFO1, "get image result: %u", unsigned(result.images.size()));
    // A result of a file shown before: the user has moved on.
    if (m_path.isEmpty() || result.path != m_path)
        return;
    if (!isVisible()) {
        show();
        raise();
        requestActivate();
    }
    Logger::log(Logger::NFO2, "preview widget: %dx%d", width(), height());
    m_image = result.images.empty() ? QImage() : result.images.front();
    for (auto it = result.exif.cbegin(); it != result.exif.cend(); ++it)
        Logger::log(Logger::NFO2, "\t%s: %s", qUtf8Printable(it.key()), qUtf8Printable(it.value().toString()));
    auto text = [&result](const char* key) { return result.exif.value(QLatin1String(key)).toString(); };
    if (QQuickItem* exif = exifItem()) {
        exif->setProperty("iso", text("ISO").toInt());
        exif->setProperty("fNumber", text("FNumber"));
        exif->setProperty("focalLength", text("FocalLength"));
        exif->setProperty("exposureTime", text("ExposureTime"));
        exif->setProperty("make", text("Make"));
        exif->setProperty("model", text("Model"));
        exif->setProperty("date", text("Date"));
        exif->setProperty("time", text("Time"));
        exif->setVisible(true);
    }
    if (QQuickItem* root = rootObject()) {
        root->setProperty("page", text("Page").toInt());
        root->setProperty("pageCount", text("PageCount").toInt());
    }
}

QRect PreviewWindow::adjustedGeometry(const QSize& imageSize, const QRect& current, const QSize& available)
{
    int w = std::max(500, imageSize.width());
    int h = std::max(400, imageSize.height());
    const int aw = available.width();
    const int ah = available.height();
    double f = 1.0;
    if (aw <= w + 47) {
        f = 0.75;
        w = aw;
    }
    if (ah <= h + 95) {
        f = 0.75;
        h = ah;
    }
    QRect g = current;
    if (g.width() <= w)
        g.setWidth(int(w * f + 48));
    if (g.height() <= h)
        g.setHeight(int(h * f + 96 + 48));
    if (g.x() + g.width() > aw)
        g.moveLeft((aw - g.width()) / 2);
    if (g.y() + g.height() > ah)
        g.moveTop((ah - g.height()) / 2);
    return g;
}

void PreviewWindow::adjustWindowSize(const QSize& size)
{
    QQuickItem* root = rootObject();
    if (!root || !root->property("adjustWindowSize").toBool())
        return;
    QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!s)
        return;
    const QRect g = adjustedGeometry(size, geometry(), s->availableSize());
    setGeometry(g);
    root->setWidth(g.width());
    root->setHeight(g.height());
}

void PreviewWindow::keyPressEvent(QKeyEvent* event)
{
    QQuickView::keyPressEvent(event);
    if (event->key() == Qt::Key_Space || event->key() == Qt::Key_Escape) {
        m_image = QImage();
        hide();
        emit requestClose();
        event->accept();
    }
}

void PreviewWindow::hideEvent(QHideEvent* event)
{
    QQuickView::hideEvent(event);
    resize(kHiddenWidth, kHiddenHeight);
    m_path.clear();
    m_peerUuid.clear();
    m_image = QImage();
    if (QQuickItem* root = rootObject())
        root->setProperty("img", QString());
}
