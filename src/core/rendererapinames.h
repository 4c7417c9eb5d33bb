#pragma once

#include <QStringList>

// The names of the Qt Quick scene-graph graphics APIs, indexed by
// QSGRendererInterface::GraphicsApi (10 entries); the about dialog names the
// one in use.
extern const QStringList rendererApiNames;
