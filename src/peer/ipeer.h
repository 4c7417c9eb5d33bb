#pragma once

#include <QObject>

// A machine of the user's network as QML and the views see it.
class IPeer : public QObject
{
    Q_OBJECT
public:
    explicit IPeer(QObject* parent = nullptr) : QObject(parent) {}
    ~IPeer() override = default;
};
