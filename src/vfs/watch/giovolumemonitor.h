#pragma once

// The desktop's volume monitor (GIO), behind a header free of GLib and Qt so
// that the two never meet in one translation unit. Its callbacks arrive on
// the thread whose GLib main context was the default when start() was called
// (the main thread, where Qt's event loop runs the GLib context).
class GioVolumeMonitor
{
public:
    enum Event {
        DriveChanged,
        DriveConnected,
        DriveDisconnected,
        VolumeAdded,
        VolumeChanged,
        VolumeRemoved,
    };
    // details: for volume events a description of the volume, else empty.
    using Callback = void (*)(void* context, Event event, const char* details);

    GioVolumeMonitor() = default;
    ~GioVolumeMonitor();
    GioVolumeMonitor(const GioVolumeMonitor&) = delete;
    GioVolumeMonitor& operator=(const GioVolumeMonitor&) = delete;

    // Connects to the monitor's drive and volume signals; false when GIO has
    // no monitor to give. Calling it again restarts with the new callback.
    bool start(Callback callback, void* context);
    void stop();

    struct Handlers; // the connection state, known only to the .cpp

private:
    Handlers* m_handlers = nullptr;
};
