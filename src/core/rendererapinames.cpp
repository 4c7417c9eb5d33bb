#include "core/rendererapinames.h"

const QStringList rendererApiNames = {
    QStringLiteral("Unknown"),   QStringLiteral("Software"),      QStringLiteral("OpenGL"),
    QStringLiteral("Direct3D12"), QStringLiteral("OpenVG"),       QStringLiteral("OpenGLRhi"),
    QStringLiteral("Direct3D11Rhi"), QStringLiteral("VulkanRhi"), QStringLiteral("MetalRhi"),
    QStringLiteral("NullRhi"),
};
