#pragma once

#include <QMetaType>

// How a sealed datagram picks the transports of its endpoint.
enum TransportFilter : int {
    // In preference order, stopping after the first used transport that has
    // received within the last two minutes.
    TransportFilterBest = 16,
    // Every usable transport.
    TransportFilterAll = 32,
};

Q_DECLARE_METATYPE(TransportFilter)
