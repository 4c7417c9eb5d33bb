#pragma once

#include <QImage>
#include <QPersistentModelIndex>
#include <QHash>
#include <QSet>
#include <QSize>
#include <QStyledItemDelegate>

// The items of the icon view: a photograph-like preview when the model has
// one (framed by a drop shadow unless it is largely transparent), otherwise
// the item's icon, and the name below on a rounded highlight. It also puts
// the rename editor under the icon.
class IconDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    static constexpr int Margin = 8;
    static constexpr double PreviewExtraWidth = 16.0;
    // Name layout: centred, from the top, wrapped anywhere.
    static constexpr int TextFlags = Qt::AlignHCenter | Qt::AlignTop | Qt::TextWordWrap | Qt::TextWrapAnywhere;

    explicit IconDelegate(QObject* parent = nullptr);

    QSize iconSize() const;
    void setIconSize(const QSize& size);

    // The preview of an index: a non-empty image of its PreviewRole, or a
    // null image when it has none (a null or empty image counts as none).
    static QImage previewOf(const QModelIndex& index);
    // The size of an index's preview when the model has it at hand (its
    // PreviewSizeRole), without asking for it; an invalid size otherwise.
    static QSize previewSizeOf(const QModelIndex& index);
    // Whether more than nine of the grid samples of the image are
    // transparent (alpha below 128); such an image gets no shadow.
    static bool isLargelyTransparent(const QImage& image);
    // Where paint puts a preview of that size in an item rectangle.
    QRect previewRect(const QSize& imageSize, const QRect& itemRect) const;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override;
    void destroyEditor(QWidget* editor, const QModelIndex& index) const override;
    void updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                              const QModelIndex& index) const override;

private:
    void paintShadow(QPainter* painter, const QRect& around) const;
    bool editorOpen(const QStyleOptionViewItem& option, const QModelIndex& index) const;

    // Size hints by name, preview size and font, until the icon size changes.
    mutable QHash<QString, QSize> m_hints;
    // The items whose editor this delegate has open.
    mutable QSet<QPersistentModelIndex> m_editing;
    QImage m_shadowImage;
    QSize m_iconSize{ 160, 160 };
};
