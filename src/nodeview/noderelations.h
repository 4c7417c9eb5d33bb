#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// Which node of a sector hangs from which: a drive, directory or file node
// hangs from the drive or directory node of the same peer whose path holds
// its own (the deepest such node), else from the peer's node. Paths are
// compared by whole components and case-sensitively, so "/data" holds
// "/data/x" but not "/data2/x".
class NodeRelations
{
public:
    struct Node
    {
        QString type;    // "peer", "drive", "directory", "file", …
        QString peerUuid;
        QString path;
        bool peerKnown = true; // the peer model knows the node's peer
    };

    struct Relation
    {
        bool placed = false;  // false: a node the relations leave unchanged
        int parent = -1;      // index of the node it hangs from; -1 for none
        bool hasChildren = false;
        bool indirect = false; // directories between the parent and the node are not shown
        int depth = 1;        // 1 + the directories above the parent, consecutively
    };

    // The separator of a node's path: '/' when the path holds one, else '\\'
    // when it holds one, else '\\' for a drive named like "C:", else none
    // (a null QChar): such a node takes no part.
    static QChar separatorOf(const QString& type, const QString& path);
    // The non-empty components of a path split at the separator.
    static QStringList components(const QString& path, QChar separator);
    // Whether `outer` is a proper prefix of `inner`, component by component.
    static bool isAncestor(const QStringList& outer, const QStringList& inner);

    // One relation per node, in the order given.
    static QVector<Relation> compute(const QVector<Node>& nodes);
};
