#include "filer/itemdelegate.h"

#include <QApplication>
#include <QStyle>
#include <QtGlobal>

namespace {
// Icon sides of the levels 1 to 5; level 6 has no larger icon and keeps 96.
constexpr int kSides[] = { 0, 24, 32, 48, 64, 96 };
constexpr int kSideCount = int(sizeof(kSides) / sizeof(kSides[0]));
} // namespace

ItemDelegate::ItemDelegate(QObject* parent) : QStyledItemDelegate(parent) {}

int ItemDelegate::level() const
{
    return m_level;
}

int ItemDelegate::iconSide(int level)
{
    const int bounded = qBound(MinLevel, level, MaxLevel);
    return bounded < kSideCount ? kSides[bounded] : kSides[kSideCount - 1];
}

void ItemDelegate::increaseSize()
{
    if (m_level < MaxLevel)
        ++m_level;
}

void ItemDelegate::decreaseSize()
{
    if (m_level > MinLevel)
        --m_level;
}

void ItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt(option);
    initStyleOption(&opt, index);
    const int side = iconSide(m_level);
    opt.decorationSize = QSize(side, side);
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);
}

QSize ItemDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const QSize base = QStyledItemDelegate::sizeHint(option, index);
    const int side = iconSide(m_level);
    return QSize(base.width(), side > 0 ? side + 2 : base.height());
}
