#pragma once

#include <QtGlobal>

// Tells a desktop from a laptop by the processor's brand string. One instance
// lives on main's stack; others reach it through instance().
class MachineClassifier
{
public:
    enum Class : quint32 { Undetected = 0, Laptop = 1, Desktop = 2, Unknown = 3 };

    MachineClassifier();
    ~MachineClassifier();

    MachineClassifier(const MachineClassifier&) = delete;
    MachineClassifier& operator=(const MachineClassifier&) = delete;

    static MachineClassifier* instance();

    quint32 detect();
    bool isSystemSleeping() const;

    // The class a processor brand string stands for (Laptop, Desktop or Unknown).
    static quint32 classifyBrand(const char* brand);

private:
    quint32 m_class = Undetected;
};

// True for 127/8, 10/8, 172.16/12 and 192.168/16; the address is in host order.
bool isPrivateIPv4Address(quint32 address);
