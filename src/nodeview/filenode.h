#pragma once

#include "nodeview/guinode.h"

#include <memory>

class FileNodePrivate;

// The node of a file: a GuiNode whose item gets the file's preview, or the
// icon of its type, shortly after the node is made.
class FileNode : public GuiNode
{
    Q_OBJECT
public:
    FileNode(QQmlEngine* engine, IPeer* peer, const VNodeDto& row, QObject* styleSource, QObject* parent);
    ~FileNode() override;

    // The delay from the node's creation to its icon.
    static constexpr int IconDelayMs = 400;

    // "image://preview/<peer uuid>/<path>" for a file the preview reads,
    // else "image://theme/file/<path>"; the path percent-encoded once (its
    // "/" kept), so that any name reaches the image provider unchanged.
    static QString iconUrl(const QString& peerUuid, const QString& path);

public slots:
    void timerFired();

private:
    std::unique_ptr<FileNodePrivate> d;
};
