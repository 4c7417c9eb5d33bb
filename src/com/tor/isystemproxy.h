#pragma once

#include <QNetworkProxy>

// Where the Tor service learns the system's network proxy, which its child
// processes must go through. The connection manager's proxy lookup
// implements it.
class ISystemProxy
{
public:
    virtual ~ISystemProxy() = default;
    // An HTTP or SOCKS5 proxy, or a default-constructed one for none.
    virtual QNetworkProxy systemProxy() const = 0;
};
