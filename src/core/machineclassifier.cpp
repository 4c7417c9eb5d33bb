#include "core/machineclassifier.h"

#include "core/logger.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define VELM_HAVE_CPUID 1
#endif

namespace {

MachineClassifier* s_instance = nullptr;

struct ModelClass {
    const char* model;
    quint32 machineClass;
};

// Searched from the top; the trailing blank keeps "i7-2600" from matching "i7-2600K".
const ModelClass kModels[] = {
    { "i7-6770HQ ", MachineClassifier::Desktop },
    { "i7-2600K ", MachineClassifier::Desktop },
    { "i5-2400 ", MachineClassifier::Desktop },
    { "i7-2920XM ", MachineClassifier::Laptop },
    { "i7-2960XM ", MachineClassifier::Laptop },
    { "i7-2820QM ", MachineClassifier::Laptop },
    { "i7-2860QM ", MachineClassifier::Laptop },
    { "i7-2720QM ", MachineClassifier::Laptop },
    { "i7-2710QE ", MachineClassifier::Laptop },
    { "i7-2760QM ", MachineClassifier::Laptop },
    { "i7-2620M ", MachineClassifier::Laptop },
    { "i7-2630QM ", MachineClassifier::Laptop },
    { "i7-2635QM ", MachineClassifier::Laptop },
    { "i7-2640M ", MachineClassifier::Laptop },
    { "i7-2670QM ", MachineClassifier::Laptop },
    { "i7-2675QM ", MachineClassifier::Laptop },
    { "i7-2629M ", MachineClassifier::Laptop },
    { "i7-2649M ", MachineClassifier::Laptop },
    { "i7-2657M ", MachineClassifier::Laptop },
    { "i7-2617M ", MachineClassifier::Laptop },
    { "i7-2677M ", MachineClassifier::Laptop },
    { "i7-2637M ", MachineClassifier::Laptop },
    { "i5-2520M ", MachineClassifier::Laptop },
};

// Reads the 48-byte processor brand string; empty where CPUID is not available.
void readBrandString(char brand[49])
{
    std::memset(brand, 0, 49);
#ifdef VELM_HAVE_CPUID
    unsigned regs[4] = {};
    if (__get_cpuid(0, &regs[0], &regs[1], &regs[2], &regs[3])) {
        char vendor[13] = {};
        std::memcpy(vendor, &regs[1], 4);
        std::memcpy(vendor + 4, &regs[3], 4);
        std::memcpy(vendor + 8, &regs[2], 4);
        Logger::log(Logger::NFO1, "cpu vendor id %s, 0x%08X 0x%08X 0x%08X 0x%08X", vendor, regs[0],
                    regs[1], regs[2], regs[3]);
    }
    if (__get_cpuid(1, &regs[0], &regs[1], &regs[2], &regs[3]))
        Logger::log(Logger::NFO1, "cpu signature 0x%08X 0x%08X 0x%08X 0x%08X", regs[0], regs[1],
                    regs[2], regs[3]);
    for (unsigned leaf = 0; leaf < 3; ++leaf) {
        if (!__get_cpuid(0x80000002u + leaf, &regs[0], &regs[1], &regs[2], &regs[3]))
            break;
        std::memcpy(brand + leaf * 16, regs, 16);
    }
    brand[48] = 0;
#endif
    Logger::log(Logger::NFO1, "cpu brand '%s'", brand);
}

} // namespace

MachineClassifier::MachineClassifier()
{
    s_instance = this;
    const quint32 machineClass = detect();
    if (machineClass == Desktop)
        Logger::log(Logger::NFO1, "This seems to be a desktop");
    else if (machineClass == Laptop)
        Logger::log(Logger::NFO1, "This seems to be a laptop");
}

MachineClassifier::~MachineClassifier()
{
    if (s_instance == this)
        s_instance = nullptr;
}

MachineClassifier* MachineClassifier::instance()
{
    return s_instance;
}

quint32 MachineClassifier::detect()
{
    if (m_class != Undetected)
        return m_class;
    char brand[49];
    readBrandString(brand);
    m_class = classifyBrand(brand);
    return m_class;
}

bool MachineClassifier::isSystemSleeping() const
{
    return false;
}

quint32 MachineClassifier::classifyBrand(const char* brand)
{
    if (!brand)
        return Unknown;
    for (const ModelClass& entry : kModels) {
        if (std::strstr(brand, entry.model))
            return entry.machineClass;
    }
    return Unknown;
}

bool isPrivateIPv4Address(quint32 address)
{
    return (address >> 24) == 127 || (address >> 24) == 10 || (address >> 20) == 0xAC1u
        || (address >> 16) == 0xC0A8u;
}
