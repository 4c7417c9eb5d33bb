// No Qt in this file: GLib's headers use "signals" as an identifier.
#include "vfs/watch/giovolumemonitor.h"

#include <gio/gio.h>

#include <string>

struct GioVolumeMonitor::Handlers
{
    GVolumeMonitor* monitor = nullptr;
    GioVolumeMonitor::Callback callback = nullptr;
    void* context = nullptr;
};

namespace {

std::string describeVolume(GVolume* volume)
{
    std::string text;
    if (!volume)
        return text;
    char* name = g_volume_get_name(volume);
    char* uuid = g_volume_get_uuid(volume);
    const bool canMount = g_volume_can_mount(volume);
    const bool canEject = g_volume_can_eject(volume);
    char* rootPath = nullptr;
    if (GMount* mount = g_volume_get_mount(volume)) {
        if (GFile* root = g_mount_get_root(mount)) {
            rootPath = g_file_get_path(root);
            g_object_unref(root);
        }
        g_object_unref(mount);
    }
    text += "name: ";
    text += name ? name : "";
    text += ", uuid: ";
    text += uuid ? uuid : "";
    text += ", can mount: ";
    text += canMount ? "1" : "0";
    text += ", can eject: ";
    text += canEject ? "1" : "0";
    text += ", root: ";
    text += rootPath ? rootPath : "";
    g_free(name);
    g_free(uuid);
    g_free(rootPath);
    return text;
}

void report(gpointer data, GioVolumeMonitor::Event event, const std::string& details)
{
    auto* handlers = static_cast<GioVolumeMonitor::Handlers*>(data);
    if (handlers && handlers->callback)
        handlers->callback(handlers->context, event, details.c_str());
}

void onDriveChanged(GVolumeMonitor*, GDrive*, gpointer data)
{
    report(data, GioVolumeMonitor::DriveChanged, std::string());
}

void onDriveConnected(GVolumeMonitor*, GDrive*, gpointer data)
{
    report(data, GioVolumeMonitor::DriveConnected, std::string());
}

void onDriveDisconnected(GVolumeMonitor*, GDrive*, gpointer data)
{
    report(data, GioVolumeMonitor::DriveDisconnected, std::string());
}

void onVolumeAdded(GVolumeMonitor*, GVolume* volume, gpointer data)
{
    report(data, GioVolumeMonitor::VolumeAdded, describeVolume(volume));
}

void onVolumeChanged(GVolumeMonitor*, GVolume* volume, gpointer data)
{
    report(data, GioVolumeMonitor::VolumeChanged, describeVolume(volume));
}

void onVolumeRemoved(GVolumeMonitor*, GVolume* volume, gpointer data)
{
    report(data, GioVolumeMonitor::VolumeRemoved, describeVolume(volume));
}

} // namespace

GioVolumeMonitor::~GioVolumeMonitor()
{
    stop();
}

bool GioVolumeMonitor::start(Callback callback, void* context)
{
    stop();
    GVolumeMonitor* monitor = g_volume_monitor_get();
    if (!monitor)
        return false;
    m_handlers = new Handlers;
    m_handlers->monitor = monitor;
    m_handlers->callback = callback;
    m_handlers->context = context;
    g_signal_connect(monitor, "drive-changed", G_CALLBACK(onDriveChanged), m_handlers);
    g_signal_connect(monitor, "drive-connected", G_CALLBACK(onDriveConnected), m_handlers);
    g_signal_connect(monitor, "drive-disconnected", G_CALLBACK(onDriveDisconnected), m_handlers);
    g_signal_connect(monitor, "volume-added", G_CALLBACK(onVolumeAdded), m_handlers);
    g_signal_connect(monitor, "volume-changed", G_CALLBACK(onVolumeChanged), m_handlers);
    g_signal_connect(monitor, "volume-removed", G_CALLBACK(onVolumeRemoved), m_handlers);
    return true;
}

void GioVolumeMonitor::stop()
{
    if (!m_handlers)
        return;
    g_signal_handlers_disconnect_by_data(m_handlers->monitor, m_handlers);
    g_object_unref(m_handlers->monitor);
    delete m_handlers;
    m_handlers = nullptr;
}
