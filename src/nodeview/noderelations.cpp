#include "nodeview/noderelations.h"

#include <QHash>

namespace {
bool takesPart(const QString& type)
{
    return type == QLatin1String("drive") || type == QLatin1String("directory") || type == QLatin1String("file");
}

bool canHoldOthers(const QString& type)
{
    return type == QLatin1String("drive") || type == QLatin1String("directory");
}
} // namespace

QChar NodeRelations::separatorOf(const QString& type, const QString& path)
{
    if (path.contains(QLatin1Char('/')))
        return QLatin1Char('/');
    if (path.contains(QLatin1Char('\\')))
        return QLatin1Char('\\');
    if (type == QLatin1String("drive") && path.size() >= 2 && path.at(1) == QLatin1Char(':'))
        return QLatin1Char('\\');
    return QChar();
}

QStringList NodeRelations::components(const QString& path, QChar separator)
{
    return path.split(separator, Qt::SkipEmptyParts);
}

bool NodeRelations::isAncestor(const QStringList& outer, const QStringList& inner)
{
    if (outer.size() >= inner.size())
        return false;
    for (int i = 0; i < outer.size(); ++i) {
        if (outer.at(i) != inner.at(i))
            return false;
    }
    return true;
}

QVector<NodeRelations::Relation> NodeRelations::compute(const QVector<Node>& nodes)
{
    const int n = nodes.size();
    QVector<Relation> relations(n);
    // Every node's components, split once with its own separator; a node is
    // compared with another by the other's path split the same way.
    QVector<QChar> separators(n);
    for (int i = 0; i < n; ++i) {
        if (takesPart(nodes.at(i).type))
            separators[i] = separatorOf(nodes.at(i).type, nodes.at(i).path);
    }
    QHash<QChar, QVector<QStringList>> splitBy;
    auto partsOf = [&](int index, QChar separator) -> const QStringList& {
        QVector<QStringList>& table = splitBy[separator];
        if (table.isEmpty()) {
            table.resize(n);
            for (int i = 0; i < n; ++i)
                table[i] = components(nodes.at(i).path, separator);
        }
        return table.at(index);
    };

    for (int i = 0; i < n; ++i) {
        const Node& node = nodes.at(i);
        const QChar sep = separators.at(i);
        if (sep.isNull())
            continue;
        Relation& r = relations[i];
        r.placed = true;
        const QStringList& own = partsOf(i, sep);
        int parentParts = -1; // components of the drive or directory found so far
        for (int j = 0; j < n; ++j) {
            const Node& other = nodes.at(j);
            if (j == i || other.peerUuid != node.peerUuid || other.path == node.path)
                continue;
            if (other.type == QLatin1String("peer")) {
                if (r.parent < 0)
                    r.parent = j;
                continue;
            }
            const QStringList& parts = partsOf(j, sep);
            if (canHoldOthers(other.type) && isAncestor(parts, own) && parts.size() > parentParts) {
                parentParts = parts.size();
                r.parent = j;
                r.indirect = node.peerKnown && own.size() - parts.size() > 1;
                continue;
            }
            if (!r.hasChildren && takesPart(other.type) && isAncestor(own, parts))
                r.hasChildren = true;
        }
    }

    // Depths once every parent is known: 1, plus one for each directory
    // above the node in an unbroken line from its parent up.
    for (int i = 0; i < n; ++i) {
        Relation& r = relations[i];
        if (!r.placed || r.parent < 0)
            continue;
        int depth = 1;
        int up = r.parent;
        int guard = n;
        while (up >= 0 && guard-- > 0 && nodes.at(up).type == QLatin1String("directory")) {
            ++depth;
            up = relations.at(up).placed ? relations.at(up).parent : -1;
        }
        r.depth = depth;
    }
    return relations;
}
