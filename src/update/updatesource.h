#pragma once

#include <QString>
#include <QUrl>

// Where the update check, the about dialog and the changelog may go. Every
// outside address is a setting of config.ini and empty by default, so
// nothing leaves the machine unless the user names a server:
//
//   [update]
//   baseurl=https://updates.example.org/velm      ; feed and changelog
//   downloadpage=https://example.org/download     ; "Visit homepage"
//   downloadlimit=536870912                        ; bytes of one download
//   [about]
//   website=https://example.org                    ; link in the about box
//
// The update server is spoken to over https only; plain http is accepted
// for this machine's loopback addresses alone (what the tests serve on).
class UpdateSource
{
public:
    // The feed and the changelog are read up to this many bytes.
    static constexpr qint64 ReplyLimit = 1024 * 1024;
    static constexpr qint64 DefaultDownloadLimit = 512 * 1024 * 1024;

    // "update/baseurl", trimmed, without trailing slashes; empty when unset.
    static QString baseAddress();
    // "update/downloadpage" and "about/website" as given; empty when unset.
    static QString downloadPage();
    static QString webSite();
    // "update/downloadlimit" in bytes; the default when unset, not a
    // number or not positive.
    static qint64 downloadLimit();

    // Whether the update server may be asked at `url`: https to any host, or
    // http to a loopback address ("localhost", 127.0.0.0/8, ::1). No other
    // scheme, no user name or password in the address.
    static bool isAllowed(const QUrl& url);
    // Whether a redirect from `from` to `to` may be followed: the target is
    // allowed by isAllowed() and the step goes from https to https only.
    static bool isAllowedRedirect(const QUrl& from, const QUrl& to);
    // Whether a link may be handed to the desktop's browser: http or https
    // with a host.
    static bool isBrowserAddress(const QUrl& url);
    static bool isLoopbackHost(const QString& host);
};
