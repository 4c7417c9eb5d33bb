#include "peer/lan/upnpchannel.h"

UpnpChannel::UpnpChannel(QObject* parent) : QObject(parent) {}

UpnpChannel::~UpnpChannel() = default;
