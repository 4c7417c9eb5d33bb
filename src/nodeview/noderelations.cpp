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

namespace {
// A key of a peer's path prefix: the peer, then the components.
QString prefixKey(const QString& peer, const QStringList& parts, int count)
{
    QString key = peer;
    for (int i = 0; i < count; ++i) {
        key += QChar(0x1f);
        key += parts.at(i);
    }
    return key;
}
} // namespace

QVector<NodeRelations::Relation> NodeRelations::compute(const QVector<Node>& nodes)
{
    const int n = nodes.size();
    QVector<Relation> relations(n);

    // Per separator in use: every node's components split with it, the
    // drives and directories by their whole path, and every proper prefix
    // of a node that takes part. A node then finds its holders by its own
    // prefixes and its children by its own key, without a look at every
    // other node.
    struct Table
    {
        QVector<QStringList> parts;
        QHash<QString, QVector<int>> holders;
        QHash<QString, int> prefixes;
    };
    QHash<QChar, Table> tables;
    auto tableFor = [&](QChar separator) -> const Table& {
        auto it = tables.find(separator);
        if (it != tables.end())
            return *it;
        Table table;
        table.parts.resize(n);
        for (int j = 0; j < n; ++j)
            table.parts[j] = components(nodes.at(j).path, separator);
        for (int j = 0; j < n; ++j) {
            const Node& other = nodes.at(j);
            const QStringList& parts = table.parts.at(j);
            if (canHoldOthers(other.type))
                table.holders[prefixKey(other.peerUuid, parts, parts.size())].push_back(j);
            if (takesPart(other.type)) {
                for (int k = 0; k < parts.size(); ++k)
                    ++table.prefixes[prefixKey(other.peerUuid, parts, k)];
            }
        }
        return *tables.insert(separator, table);
    };
    QHash<QString, int> peerNodes; // the first "peer" node of each peer
    for (int j = 0; j < n; ++j) {
        if (nodes.at(j).type == QLatin1String("peer") && !peerNodes.contains(nodes.at(j).peerUuid))
            peerNodes.insert(nodes.at(j).peerUuid, j);
    }

    for (int i = 0; i < n; ++i) {
        const Node& node = nodes.at(i);
        if (!takesPart(node.type))
            continue;
        const QChar sep = separatorOf(node.type, node.path);
        if (sep.isNull())
            continue;
        Relation& r = relations[i];
        r.placed = true;
        const Table& table = tableFor(sep);
        const QStringList& own = table.parts.at(i);

        // The deepest drive or directory whose components start the node's.
        for (int k = own.size() - 1; k >= 0 && r.parent < 0; --k) {
            const auto it = table.holders.constFind(prefixKey(node.peerUuid, own, k));
            if (it == table.holders.constEnd())
                continue;
            for (int j : *it) {
                if (j != i && nodes.at(j).path != node.path) {
                    r.parent = j;
                    r.indirect = node.peerKnown && own.size() - k > 1;
                    break;
                }
            }
        }
        if (r.parent < 0) {
            const int peerNode = peerNodes.value(node.peerUuid, -1);
            if (peerNode >= 0 && nodes.at(peerNode).path != node.path)
                r.parent = peerNode;
        }
        r.hasChildren = table.prefixes.value(prefixKey(node.peerUuid, own, own.size())) > 0;
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
