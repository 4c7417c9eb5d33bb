#pragma once

#include <QtGlobal>

// A field mask on the wire: a u16 of bits and one u32 value for each set
// bit, bit 0 first. The value of a bit that is not set is 0.
struct VfsMirkFieldMask
{
    quint16 mask = 0;
    quint32 values[16] = {};

    bool has(int bit) const { return bit >= 0 && bit < 16 && (mask & (1u << bit)); }
    quint32 value(int bit) const { return has(bit) ? values[bit] : 0; }
    void set(int bit, quint32 value)
    {
        if (bit < 0 || bit >= 16)
            return;
        mask = quint16(mask | (1u << bit));
        values[bit] = value;
    }
    void clear() { *this = VfsMirkFieldMask(); }
};
