#pragma once

#include <QStyledItemDelegate>

// Column 0 of the list and column views: the name with an icon of one of six
// sizes; the row height follows the icon.
class ItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT
public:
    static constexpr int MinLevel = 1;
    static constexpr int MaxLevel = 6;
    static constexpr int StartLevel = 2;

    explicit ItemDelegate(QObject* parent = nullptr);

    int level() const;
    // The icon side of a level; levels outside 1 to 6 are taken as the
    // nearest of them.
    static int iconSide(int level);

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

public slots:
    void increaseSize();
    void decreaseSize();

private:
    int m_level = StartLevel;
};
