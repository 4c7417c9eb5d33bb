#pragma once

#include <QObject>

// Watches the directories that peers are browsing and the machine's drives.
class VfsWatcher : public QObject
{
    Q_OBJECT
public:
    explicit VfsWatcher(QObject* parent = nullptr);
    ~VfsWatcher() override;

    static VfsWatcher* instance();
};
