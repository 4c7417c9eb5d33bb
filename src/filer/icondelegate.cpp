#include "filer/icondelegate.h"

#include "models/vfsmodel.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QPainter>
#include <QStyle>

#include <algorithm>

static void initFilerResources()
{
    Q_INIT_RESOURCE(filer);
}

IconDelegate::IconDelegate(QObject* parent) : QStyledItemDelegate(parent)
{
    initFilerResources();
    m_shadowImage.load(QStringLiteral(":/img/shd-border-img2.png"));
}

QSize IconDelegate::iconSize() const
{
    return m_iconSize;
}

void IconDelegate::setIconSize(const QSize& size)
{
    if (size != m_iconSize)
        m_hints.clear();
    m_iconSize = size;
}

QImage IconDelegate::previewOf(const QModelIndex& index)
{
    const QVariant value = index.data(VfsModel::PreviewRole);
    if (!value.isValid() || !value.canConvert<QImage>())
        return QImage();
    QImage image = value.value<QImage>();
    // A null or empty image would be divided by; it is no preview.
    if (image.isNull() || image.width() <= 0 || image.height() <= 0)
        return QImage();
    return image;
}

QSize IconDelegate::previewSizeOf(const QModelIndex& index)
{
    const QSize size = index.data(VfsModel::PreviewSizeRole).toSize();
    return size.width() > 0 && size.height() > 0 ? size : QSize();
}

bool IconDelegate::isLargelyTransparent(const QImage& image)
{
    if (image.isNull() || !image.hasAlphaChannel())
        return false;
    const int stepX = std::max(2, image.width() / 8);
    const int stepY = std::max(2, image.height() / 8);
    int transparent = 0;
    for (int y = 0; y < image.height(); y += stepY) {
        for (int x = 0; x < image.width(); x += stepX) {
            if (qAlpha(image.pixel(x, y)) < 128 && ++transparent > 9)
                return true;
        }
    }
    return false;
}

QRect IconDelegate::previewRect(const QSize& imageSize, const QRect& itemRect) const
{
    if (imageSize.width() <= 0 || imageSize.height() <= 0)
        return QRect();
    const int areaWidth = std::min(imageSize.width(), itemRect.width());
    const int areaHeight = std::min(imageSize.height(), m_iconSize.height());
    const double scale = std::min(double(areaHeight) / imageSize.height(), double(areaWidth) / imageSize.width());
    int width = int(imageSize.width() * scale) & ~1;
    int height = std::min(int(imageSize.height() * scale) & ~1, m_iconSize.height());
    width = std::max(width, 0);
    height = std::max(height, 0);
    const int x = itemRect.left() + (itemRect.width() - width) / 2;
    const int y = itemRect.top() + m_iconSize.height() - height;
    return QRect(x, y, width, height);
}

bool IconDelegate::editorOpen(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const auto* view = qobject_cast<const QAbstractItemView*>(option.widget);
    if (view && view->isPersistentEditorOpen(index))
        return true;
    return m_editing.contains(QPersistentModelIndex(index));
}

QWidget* IconDelegate::createEditor(QWidget* parent, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
    if (editor)
        m_editing.insert(QPersistentModelIndex(index));
    return editor;
}

void IconDelegate::destroyEditor(QWidget* editor, const QModelIndex& index) const
{
    m_editing.remove(QPersistentModelIndex(index));
    QStyledItemDelegate::destroyEditor(editor, index);
}

void IconDelegate::paintShadow(QPainter* painter, const QRect& r) const
{
    if (m_shadowImage.isNull())
        return;
    const int c = m_shadowImage.width() / 3;
    if (c <= 0)
        return;
    auto cell = [&](int col, int row) { return QRect(col * c, row * c, c, c); };
    // Corners, one cell outside the image.
    painter->drawImage(QRect(r.left() - c, r.top() - c, c, c), m_shadowImage, cell(0, 0));
    painter->drawImage(QRect(r.right() + 1, r.top() - c, c, c), m_shadowImage, cell(2, 0));
    painter->drawImage(QRect(r.left() - c, r.bottom() + 1, c, c), m_shadowImage, cell(0, 2));
    painter->drawImage(QRect(r.right() + 1, r.bottom() + 1, c, c), m_shadowImage, cell(2, 2));
    // Edges, stretched along the sides.
    painter->drawImage(QRect(r.left(), r.top() - c, r.width(), c), m_shadowImage, cell(1, 0));
    painter->drawImage(QRect(r.left(), r.bottom() + 1, r.width(), c), m_shadowImage, cell(1, 2));
    painter->drawImage(QRect(r.left() - c, r.top(), c, r.height()), m_shadowImage, cell(0, 1));
    painter->drawImage(QRect(r.right() + 1, r.top(), c, r.height()), m_shadowImage, cell(2, 1));
}

void IconDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    painter->save();
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const QRect rect = opt.rect;
    const QImage preview = previewOf(index);

    if (!preview.isNull()) {
        const QRect target = previewRect(preview.size(), rect);
        if (!target.isEmpty()) {
            const QImage scaled = preview.size() == target.size()
                                      ? preview
                                      : preview.scaled(target.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation);
            const bool transparent = isLargelyTransparent(scaled);
            const QRect drawn(QPoint(rect.left() + (rect.width() - scaled.width()) / 2,
                                     rect.top() + m_iconSize.height() - scaled.height()),
                              scaled.size());
            painter->drawImage(drawn, scaled);
            if (!transparent)
                paintShadow(painter, drawn);
        }
    } else if (opt.icon.isNull()) {
        // No icon from the desktop's theme: a plain folder or page, so that
        // an item is never only its name.
        const int side = std::min(m_iconSize.width(), m_iconSize.height()) * 2 / 3;
        const QRect box(rect.left() + (rect.width() - side) / 2, rect.top() + m_iconSize.height() - side, side, side);
        const int type = index.data(VfsModel::TypeRole).toInt();
        if (type == VfsModel::DirectoryType || type == VfsModel::DriveType) {
            QIcon(QStringLiteral(":/icons/folder.svg")).paint(painter, box);
        } else {
            painter->setRenderHint(QPainter::Antialiasing, true);
            painter->setPen(QPen(opt.palette.color(QPalette::Mid), 1.5));
            painter->setBrush(opt.palette.color(QPalette::Base));
            const QRectF page = QRectF(box).adjusted(side * 0.18, side * 0.05, -side * 0.18, -side * 0.02);
            painter->drawRoundedRect(page, 2.0, 2.0);
            painter->setPen(QPen(opt.palette.color(QPalette::Midlight), 1.0));
            for (int line = 1; line <= 4; ++line) {
                const qreal y = page.top() + page.height() * (0.2 + 0.15 * line);
                painter->drawLine(QPointF(page.left() + page.width() * 0.15, y),
                                  QPointF(page.right() - page.width() * 0.15, y));
            }
        }
    } else {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        const QSize actual = opt.icon.actualSize(m_iconSize);
        QPixmap pixmap = opt.icon.pixmap(actual * ratio);
        pixmap.setDevicePixelRatio(ratio);
        const QSize shown = pixmap.size() / ratio;
        const QPoint at(rect.left() + (rect.width() - shown.width()) / 2, rect.top() + m_iconSize.height() - shown.height());
        painter->drawPixmap(at, pixmap);
    }

    if (editorOpen(option, index)) {
        painter->restore();
        return;
    }

    const QRect textBack(QPoint(rect.left(), rect.top() + m_iconSize.height() + Margin),
                         QPoint(rect.right(), rect.bottom() - Margin / 2));
    painter->setPen(Qt::NoPen);
    painter->setRenderHint(QPainter::Antialiasing, true);
    const QPalette& palette = opt.palette;
    QColor textColor = palette.color(QPalette::WindowText);
    const int flags = index.data(VfsModel::FlagsRole).toInt();
    if (flags & VfsModel::DropTargetFlag) {
        painter->setBrush(palette.color(QPalette::Highlight).lighter(160));
        painter->drawRoundedRect(textBack, 3.0, 3.0);
    } else if (opt.state & QStyle::State_Selected) {
        painter->setBrush(palette.highlight());
        painter->drawRoundedRect(textBack, 3.0, 3.0);
        textColor = palette.color(QPalette::HighlightedText);
    } else if (opt.state & QStyle::State_MouseOver) {
        painter->setBrush(palette.color(QPalette::Highlight).lighter(170));
        painter->drawRoundedRect(textBack, 3.0, 3.0);
    } else {
        painter->eraseRect(textBack);
    }
    painter->setPen(textColor);
    painter->setFont(opt.font);
    const QRect textRect(QPoint(rect.left() + Margin / 2, rect.top() + m_iconSize.height() + Margin),
                         QPoint(rect.right() - Margin / 2, rect.bottom()));
    painter->drawText(textRect, TextFlags, opt.text);
    painter->restore();
}

QSize IconDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    // Asked for every item at every layout: the answer is kept by what it
    // depends on. Only the size of a preview at hand counts; asking for the
    // preview itself here would queue every row of the folder in row order,
    // and the rows on screen would wait behind the others (paint asks).
    const QString text = index.data(Qt::DisplayRole).toString();
    const QSize preview = previewSizeOf(index);
    const QString key = text + QLatin1Char('\0') + QString::number(preview.width()) + QLatin1Char('x')
                        + QString::number(preview.height()) + QLatin1Char('\0') + option.font.key();
    const auto cached = m_hints.constFind(key);
    if (cached != m_hints.constEnd())
        return *cached;
    QSize content = m_iconSize;
    if (!preview.isEmpty()) {
        const QSize bound(int(preview.width() + PreviewExtraWidth), m_iconSize.height());
        const QSize scaled = preview.scaled(bound, Qt::KeepAspectRatio);
        content = content.expandedTo(scaled);
    }
    const QRect textRect =
        QFontMetrics(option.font).boundingRect(QRect(0, 0, content.width(), content.height() * 2), TextFlags, text);
    const QSize hint(content.width() + Margin, content.height() + textRect.height() + 2 * Margin);
    if (m_hints.size() > 200000)
        m_hints.clear();
    m_hints.insert(key, hint);
    return hint;
}

void IconDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const
{
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const QSize text = opt.fontMetrics.size(Qt::TextSingleLine, opt.text + QStringLiteral("mmm"));
    int x = opt.rect.left();
    if (const auto* view = qobject_cast<const QAbstractItemView*>(opt.widget)) {
        const int right = view->viewport()->width();
        if (x + text.width() > right)
            x = right - text.width();
    }
    editor->setGeometry(x, opt.rect.top() + m_iconSize.height() + Margin, text.width(), text.height());
}
