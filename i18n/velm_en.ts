<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name></name>
    <message id="window-title">
        <source>Velm</source>
        <translation>Velm</translation>
    </message>
    <message id="label-this-pc">
        <source>This PC</source>
        <translation>This PC</translation>
    </message>
    <message id="file-copy-count" numerus="yes">
        <source>(%n. Copy)</source>
        <translation>
            <numerusform>(Copy)</numerusform>
            <numerusform>(%n. Copy)</numerusform>
        </translation>
    </message>
    <message id="file-copy-q-overwrite">
        <source>“%1” already exists. Replace it?</source>
        <translation>“%1” already exists. Replace it?</translation>
    </message>
    <message id="open-src-file-access-denied">
        <source>Access denied: “%1” cannot be read.</source>
        <translation>Access denied: “%1” cannot be read.</translation>
    </message>
    <message id="open-dst-file-access-denied">
        <source>Access denied: “%1” cannot be written.</source>
        <translation>Access denied: “%1” cannot be written.</translation>
    </message>
    <message id="copy-list-access-denied">
        <source>Access denied: the folder “%1” cannot be read.</source>
        <translation>Access denied: the folder “%1” cannot be read.</translation>
    </message>
    <message id="copy-dst-dir-access-denied">
        <source>Access denied: the folder “%1” cannot be created.</source>
        <translation>Access denied: the folder “%1” cannot be created.</translation>
    </message>
    <message id="copy-dst-not-a-directory">
        <source>“%1” exists and is not a folder.</source>
        <translation>“%1” exists and is not a folder.</translation>
    </message>
    <message id="copy-into-itself">
        <source>The folder “%1” cannot be copied into itself.</source>
        <translation>The folder “%1” cannot be copied into itself.</translation>
    </message>
    <message id="copy-unsafe-name">
        <source>The source gave a name that cannot be used: “%1”.</source>
        <translation>The source gave a name that cannot be used: “%1”.</translation>
    </message>
    <message id="copy-failure-no-space">
        <source>No space left on %1: “%2”.</source>
        <translation>No space left on %1: “%2”.</translation>
    </message>
    <message id="copy-failure-not-permitted">
        <source>Not permitted on %1: “%2”.</source>
        <translation>Not permitted on %1: “%2”.</translation>
    </message>
    <message id="copy-failure-not-found">
        <source>Not found on %1: “%2”.</source>
        <translation>Not found on %1: “%2”.</translation>
    </message>
    <message id="copy-failure-unreachable">
        <source>%1 cannot be reached.</source>
        <translation>%1 cannot be reached.</translation>
    </message>
    <message id="copy-failure-timed-out">
        <source>%1 did not answer in time: “%2”.</source>
        <translation>%1 did not answer in time: “%2”.</translation>
    </message>
    <message id="copy-failure-changed">
        <source>Changed while copied: “%1”.</source>
        <translation>Changed while copied: “%1”.</translation>
    </message>
    <message id="copy-failure-other">
        <source>Copying failed on %1: “%2”.</source>
        <translation>Copying failed on %1: “%2”.</translation>
    </message>
    <message id="copy-failure-unknown">
        <source>Copying failed.</source>
        <translation>Copying failed.</translation>
    </message>
    <message id="copy-path-too-long">
        <source>The path is too long: “%1”.</source>
        <translation>The path is too long: “%1”.</translation>
    </message>
    <message id="copy-dst-not-cut">
        <source>“%1” is longer than the source and cannot be shortened.</source>
        <translation>“%1” is longer than the source and cannot be shortened.</translation>
    </message>
    <message id="copy-no-duplicate-name">
        <source>There is no free name for a copy of “%1”.</source>
        <translation>There is no free name for a copy of “%1”.</translation>
    </message>
    <message id="copy-no-destination">
        <source>No destination folder was given.</source>
        <translation>No destination folder was given.</translation>
    </message>
    <message id="copy-eta-seconds">
        <source>A few seconds left</source>
        <translation>A few seconds left</translation>
    </message>
    <message id="copy-eta-less1minute">
        <source>Less than a minute left</source>
        <translation>Less than a minute left</translation>
    </message>
    <message id="copy-eta-minutes">
        <source>About %1 min left</source>
        <translation>About %1 min left</translation>
    </message>
    <message id="copy-eta-hours">
        <source>About %1 h left</source>
        <translation>About %1 h left</translation>
    </message>
    <message id="drive-local-disk">
        <source>Local Disk (%1)</source>
        <translation>Local Disk (%1)</translation>
    </message>
    <message id="drive-main-hd">
        <source>Main HD</source>
        <translation>Main HD</translation>
    </message>
    <message id="drive-volume-gb">
        <source>%1 GB Volume</source>
        <translation>%1 GB Volume</translation>
    </message>
    <message id="place-shares">
        <source>Shares</source>
        <translation>Shares</translation>
    </message>
    <message id="column-name">
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message id="column-type">
        <source>Type</source>
        <translation>Type</translation>
    </message>
    <message id="column-path">
        <source>Path</source>
        <translation>Path</translation>
    </message>
    <message id="column-size">
        <source>Size</source>
        <translation>Size</translation>
    </message>
    <message id="column-access">
        <source>Access</source>
        <translation>Access</translation>
    </message>
    <message id="column-created">
        <source>Created</source>
        <translation>Created</translation>
    </message>
    <message id="column-modified">
        <source>Modified</source>
        <translation>Modified</translation>
    </message>
    <message id="column-mime">
        <source>Mime</source>
        <translation>Mime</translation>
    </message>
    <message id="column-flags">
        <source>Flags</source>
        <translation>Flags</translation>
    </message>
    <message id="column-reference">
        <source>Reference</source>
        <translation>Reference</translation>
    </message>
    <message id="column-hidden">
        <source>Hidden</source>
        <translation>Hidden</translation>
    </message>
    <message id="item-type-folder">
        <source>Folder</source>
        <translation>Folder</translation>
    </message>
    <message id="startup-problem-title">
        <source>Velm cannot start</source>
        <translation>Velm cannot start</translation>
    </message>
    <message id="startup-another-instance">
        <source>Velm is already running with the configuration directory %1.</source>
        <translation>Velm is already running with the configuration directory %1.</translation>
    </message>
    <message id="startup-lock-failed">
        <source>Velm cannot lock its configuration directory: %1</source>
        <translation>Velm cannot lock its configuration directory: %1</translation>
    </message>
    <message id="startup-database-unusable">
        <source>Velm cannot use its database %1: %2
The file was left as it is.</source>
        <translation>Velm cannot use its database %1: %2
The file was left as it is.</translation>
    </message>
    <message id="action-cut">
        <source>Cut</source>
        <translation>Cut</translation>
    </message>
    <message id="action-copy">
        <source>Copy</source>
        <translation>Copy</translation>
    </message>
    <message id="action-copy-to">
        <source>Copy to other side</source>
        <translation>Copy to other side</translation>
    </message>
    <message id="action-move-to">
        <source>Move to other side</source>
        <translation>Move to other side</translation>
    </message>
    <message id="action-paste">
        <source>Paste</source>
        <translation>Paste</translation>
    </message>
    <message id="action-trash">
        <source>Move to Trash</source>
        <translation>Move to Trash</translation>
    </message>
    <message id="action-delete">
        <source>Delete</source>
        <translation>Delete</translation>
    </message>
    <message id="action-new-folder">
        <source>New folder</source>
        <translation>New folder</translation>
    </message>
    <message id="action-rename">
        <source>Rename</source>
        <translation>Rename</translation>
    </message>
    <message id="action-preview">
        <source>Preview</source>
        <translation>Preview</translation>
    </message>
    <message id="action-icon-view">
        <source>as Icons</source>
        <translation>as Icons</translation>
    </message>
    <message id="action-list-view">
        <source>as List</source>
        <translation>as List</translation>
    </message>
    <message id="action-column-view">
        <source>as Columns</source>
        <translation>as Columns</translation>
    </message>
    <message id="action-new-window">
        <source>New window</source>
        <translation>New window</translation>
    </message>
    <message id="action-show-hidden-items">
        <source>Show hidden items</source>
        <translation>Show hidden items</translation>
    </message>
    <message id="action-toggle-rightpane">
        <source>Toggle right pane</source>
        <translation>Toggle right pane</translation>
    </message>
    <message id="action-in-rightpane">
        <source>Open in right pane</source>
        <translation>Open in right pane</translation>
    </message>
    <message id="action-in-rightpanetab">
        <source>Open in new tab in right pane</source>
        <translation>Open in new tab in right pane</translation>
    </message>
    <message id="action-in-leftpane">
        <source>Open in left pane</source>
        <translation>Open in left pane</translation>
    </message>
    <message id="action-in-leftpanetab">
        <source>Open in new tab in left pane</source>
        <translation>Open in new tab in left pane</translation>
    </message>
    <message id="action-openin-tab">
        <source>Open in new tab</source>
        <translation>Open in new tab</translation>
    </message>
    <message id="action-show-props">
        <source>Properties</source>
        <translation>Properties</translation>
    </message>
    <message id="action-reveal-explorer">
        <source>Reveal in Explorer</source>
        <translation>Reveal in Explorer</translation>
    </message>
    <message id="menu-extract-item">
        <source>Extract</source>
        <translation>Extract</translation>
    </message>
    <message id="action-show-nodeview">
        <source>Show node view</source>
        <translation>Show node view</translation>
    </message>
    <message id="action-show-alt-filer">
        <source>Show files on right hand side</source>
        <translation>Show files on right hand side</translation>
    </message>
    <message id="action-share-drive">
        <source>Share drive</source>
        <translation>Share drive</translation>
    </message>
    <message id="action-new-tab">
        <source>New Tab</source>
        <translation>New Tab</translation>
    </message>
    <message id="action-close-tab">
        <source>Close Tab</source>
        <translation>Close Tab</translation>
    </message>
    <message id="upd-btn-show">
        <source>Show</source>
        <translation>Show</translation>
    </message>
    <message id="upd-ntf-newversion">
        <source>velm %1 is available.</source>
        <translation>velm %1 is available.</translation>
    </message>
    <message id="job-cut-kept-not-empty">
        <source>Kept: it holds items that were not copied</source>
        <translation>Kept: it holds items that were not copied</translation>
    </message>
    <message id="job-cut-kept-failed">
        <source>Kept: it could not be deleted (error %1)</source>
        <translation>Kept: it could not be deleted (error %1)</translation>
    </message>
    <message id="action-help">
        <source>&amp;Help</source>
        <translation>&amp;Help</translation>
    </message>
    <message id="action-about-velm">
        <source>About velm</source>
        <translation>About velm</translation>
    </message>
    <message id="action-check-updates">
        <source>Check for updates</source>
        <translation>Check for updates</translation>
    </message>
    <message id="btn-close">
        <source>Close</source>
        <translation>Close</translation>
    </message>
    <message id="about-public-beta">
        <source>public beta</source>
        <translation>public beta</translation>
    </message>
    <message id="about-version">
        <source>version</source>
        <translation>version</translation>
    </message>
    <message id="about-onion-address">
        <source>Onion address:</source>
        <translation>Onion address:</translation>
    </message>
    <message id="about-qt-version">
        <source>Qt version:</source>
        <translation>Qt version:</translation>
    </message>
    <message id="about-renderer">
        <source>Renderer:</source>
        <translation>Renderer:</translation>
    </message>
    <message id="about-renderer-unknown">
        <source>unknown</source>
        <translation>unknown</translation>
    </message>
    <message id="about-licenses">
        <source>Open Source Licenses</source>
        <translation>Open Source Licenses</translation>
    </message>
    <message id="about-notice">
        <source>velm connects your own machines, and nothing else.</source>
        <translation>velm connects your own machines, and nothing else.</translation>
    </message>
    <message id="upd-window-title">
        <source>Software update</source>
        <translation>Software update</translation>
    </message>
    <message id="upd-msg-querystatus">
        <source>Query update information...</source>
        <translation>Query update information...</translation>
    </message>
    <message id="upd-msg-inforestart">
        <source>After the update has finished velm will restart, this may take several seconds.</source>
        <translation>After the update has finished velm will restart, this may take several seconds.</translation>
    </message>
    <message id="upd-msg-downloading">
        <source>Downloading update...</source>
        <translation>Downloading update...</translation>
    </message>
    <message id="upd-msg-dlfinished">
        <source>Download finished, restarting application...</source>
        <translation>Download finished, restarting application...</translation>
    </message>
    <message id="upd-msg-noupdate">
        <source>All up-to-date, velm is at the latest version %1.</source>
        <translation>All up-to-date, velm is at the latest version %1.</translation>
    </message>
    <message id="upd-btn-skip">
        <source>Skip this version</source>
        <translation>Skip this version</translation>
    </message>
    <message id="upd-btn-remind">
        <source>Remind me later</source>
        <translation>Remind me later</translation>
    </message>
    <message id="upd-btn-tryagain">
        <source>Try again</source>
        <translation>Try again</translation>
    </message>
    <message id="upd-btn-homepage">
        <source>Visit homepage</source>
        <translation>Visit homepage</translation>
    </message>
    <message id="upd-error-query">
        <source>Failed to query the update server. Please try again later.</source>
        <translation>Failed to query the update server. Please try again later.</translation>
    </message>
    <message id="upd-error-nosource">
        <source>No update site is set.</source>
        <translation>No update site is set.</translation>
    </message>
    <message id="upd-error-address">
        <source>The update site %1 is not used: its address must begin with https:// (plain http only to this machine).</source>
        <translation>The update site %1 is not used: its address must begin with https:// (plain http only to this machine).</translation>
    </message>
    <message id="upd-newavailable">
        <source>velm %1 is now available — you have %2. Would you like to install it now?</source>
        <translation>velm %1 is now available — you have %2. Would you like to install it now?</translation>
    </message>
    <message id="upd-error-rmarfail">
        <source>Failed to delete %1.</source>
        <translation>Failed to delete %1.</translation>
    </message>
    <message id="upd-error-aropenfail">
        <source>Failed to create %1.</source>
        <translation>Failed to create %1.</translation>
    </message>
    <message id="upd-dlfailed">
        <source>Failed to download the update.</source>
        <translation>Failed to download the update.</translation>
    </message>
    <message id="upd-transferprogress">
        <source>%1 of %2</source>
        <translation>%1 of %2</translation>
    </message>
    <message id="upd-transferprogress-nototal">
        <source>%1 received</source>
        <translation>%1 received</translation>
    </message>
    <message id="upd-timeleft-secs">
        <source>About %1 s left</source>
        <translation>About %1 s left</translation>
    </message>
    <message id="upd-timeleft-mins">
        <source>About %1 min left</source>
        <translation>About %1 min left</translation>
    </message>
    <message id="upd-failextract2">
        <source>Failed to extract the update.</source>
        <translation>Failed to extract the update.</translation>
    </message>
    <message id="upd-error-dlnotexist.">
        <source>Update file %1 doesn't exist.</source>
        <translation>Update file %1 doesn't exist.</translation>
    </message>
    <message id="action-create-vsector">
        <source>Add new node view</source>
        <translation>Add new node view</translation>
    </message>
    <message id="sector-main">
        <source>Main view</source>
        <translation>Main view</translation>
    </message>
    <message id="label-new-nodeview">
        <source>View %1</source>
        <translation>View %1</translation>
    </message>
    <message id="node-directory-not-reachable">
        <source>Directory not reachable</source>
        <translation>Directory not reachable</translation>
    </message>
    <message id="dlg-customize-node-title">
        <source>Customize node</source>
        <translation>Customize node</translation>
    </message>
    <message id="dlg-customize-node-no-icon">
        <source>No icon</source>
        <translation>No icon</translation>
    </message>
    <message id="dlg-customize-node-label-icons">
        <source>Icons</source>
        <translation>Icons</translation>
    </message>
    <message id="btn-preview-origsize">
        <source>Original size</source>
        <translation>Original size</translation>
    </message>
    <message id="tooltip-preview-btn-origsize">
        <source>Scales content to 100%</source>
        <translation>Scales content to 100%</translation>
    </message>
    <message id="btn-preview-fitview">
        <source>Fit in view</source>
        <translation>Fit in view</translation>
    </message>
    <message id="tooltip-preview-btn-fitview">
        <source>Fits the content to the view size</source>
        <translation>Fits the content to the view size</translation>
    </message>
    <message id="preview-failed">
        <source>The file cannot be shown.</source>
        <translation>The file cannot be shown.</translation>
    </message>
    <message id="no-preview-available">
        <source>No preview available for &quot;%1&quot;</source>
        <translation>No preview available for &quot;%1&quot;</translation>
    </message>
    <message id="place-home">
        <source>Personal folder</source>
        <translation>Personal folder</translation>
    </message>
    <message id="place-network">
        <source>Network</source>
        <translation>Network</translation>
    </message>
    <message id="place-peer-overview">
        <source>Overview</source>
        <translation>Overview</translation>
    </message>
    <message id="breadcrump-online-tooltip">
        <source>Allow connection to other computers</source>
        <translation>Allow connection to other computers</translation>
    </message>
    <message id="network-hint-offlinemode">
        <source>Connecting with other computers via LAN or Internet is deactivated.</source>
        <translation>Connecting with other computers via LAN or Internet is deactivated.</translation>
    </message>
    <message id="label-remote-pc">
        <source>Remote PC</source>
        <translation>Remote PC</translation>
    </message>
    <message id="drive-space-info">
        <source>%1  ⁄  %2 free</source>
        <translation>%1  ⁄  %2 free</translation>
    </message>
    <message id="acl-read-write">
        <source>read / write</source>
        <translation>read / write</translation>
    </message>
    <message id="acl-read-only">
        <source>read only</source>
        <translation>read only</translation>
    </message>
    <message id="inline-btn-edit">
        <source>edit</source>
        <translation>edit</translation>
    </message>
    <message id="btn-shared-items">
        <source>Shared items</source>
        <translation>Shared items</translation>
    </message>
    <message id="label-your-shares">
        <source>Your shared items</source>
        <translation>Your shared items</translation>
    </message>
    <message id="description-remote-not-reachable">
        <source>The remote computer is currently not reachable.</source>
        <translation>The remote computer is currently not reachable.</translation>
    </message>
    <message id="no-shared-items-on-remote">
        <source>There are no shared items on "%1".</source>
        <translation>There are no shared items on "%1".</translation>
    </message>
    <message id="no-shared-items-for-remote">
        <source>You don't share any items with "%1".</source>
        <translation>You don't share any items with "%1".</translation>
    </message>
    <message id="inv-create-title">
        <source>Create invitation</source>
        <translation>Create invitation</translation>
    </message>
    <message id="inv-info-text">
        <source>Send the following invitation via email or messenger.</source>
        <translation>Send the following invitation via email or messenger.</translation>
    </message>
    <message id="inv-code-description">
        <source>The code encrypts the invitation and should be communicated over a separate channel like a phone or secure messenger.</source>
        <translation>The code encrypts the invitation and should be communicated over a separate channel like a phone or secure messenger.</translation>
    </message>
    <message id="inv-lifetime-hint">
        <source>The invitation is valid for three days and can be used once. Send the code by another channel than the invitation text.</source>
        <translation>The invitation is valid for three days and can be used once. Send the code by another channel than the invitation text.</translation>
    </message>
    <message id="inv-password-label">
        <source>Code:</source>
        <translation>Code:</translation>
    </message>
    <message id="inv-copy-to-clipboard">
        <source>Copy to clipboard</source>
        <translation>Copy to clipboard</translation>
    </message>
    <message id="inv-accept-hint">
        <source>The invitation can be accepted via 'Remote / Add by invitation...' on the other computer.</source>
        <translation>The invitation can be accepted via 'Remote / Add by invitation...' on the other computer.</translation>
    </message>
    <message id="btn-cancel">
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message id="inv-btn-create">
        <source>Create invitation</source>
        <translation>Create invitation</translation>
    </message>
    <message id="inv-process-invitation-dlg-title">
        <source>Accept invitation</source>
        <translation>Accept invitation</translation>
    </message>
    <message id="inv-description-accept-invitation">
        <source>By accepting the invitation two computers can be connected.</source>
        <translation>By accepting the invitation two computers can be connected.</translation>
    </message>
    <message id="inv-paste-invitation-placeholder">
        <source>Paste the invitation here...</source>
        <translation>Paste the invitation here...</translation>
    </message>
    <message id="title-copy-to">
        <source>Copy to other file pane</source>
        <translation>Copy to other file pane</translation>
    </message>
    <message id="title-move-to">
        <source>Move to other file pane</source>
        <translation>Move to other file pane</translation>
    </message>
    <message id="label-copyto-destination">
        <source>Copy to</source>
        <translation>Copy to</translation>
    </message>
    <message id="label-moveto-destination">
        <source>Move to</source>
        <translation>Move to</translation>
    </message>
    <message id="btn-move">
        <source>Move</source>
        <translation>Move</translation>
    </message>
    <message id="copyto-no-destination">
        <source>Give a folder to copy into</source>
        <translation>Give a folder to copy into</translation>
    </message>
    <message id="copyto-not-a-folder">
        <source>%1 is no folder to copy into</source>
        <translation>%1 is no folder to copy into</translation>
    </message>
    <message id="filer-paste-same-folder">
        <source>The items are in this folder already</source>
        <translation>The items are in this folder already</translation>
    </message>
    <message id="launch-dir-make-failed">
        <source>Cannot make the folder %1: %2</source>
        <translation>Cannot make the folder %1: %2</translation>
    </message>
    <message id="launch-dir-not-private">
        <source>The folder %1 is not private to you; nothing is copied there</source>
        <translation>The folder %1 is not private to you; nothing is copied there</translation>
    </message>
    <message id="launch-dir-bad-peer">
        <source>%1 is no machine id</source>
        <translation>%1 is no machine id</translation>
    </message>
    <message id="launch-copy-not-loaded">
        <source>%1 is not loaded; nothing was opened</source>
        <translation>%1 is not loaded; nothing was opened</translation>
    </message>
    <message id="launch-copy-same-name">
        <source>Files of the same name cannot be opened together</source>
        <translation>Files of the same name cannot be opened together</translation>
    </message>
    <message id="launch-copy-failed">
        <source>The copy did not finish; nothing was opened</source>
        <translation>The copy did not finish; nothing was opened</translation>
    </message>
    <message id="btn-copy">
        <source>Copy</source>
        <translation>Copy</translation>
    </message>
    <message id="btn-paste">
        <source>Paste</source>
        <translation>Paste</translation>
    </message>
    <message id="inv-accept-description">
        <source>The first connection can take a few minutes. Folders are shared from the context menu of the file view.</source>
        <translation>The first connection can take a few minutes. Folders are shared from the context menu of the file view.</translation>
    </message>
    <message id="inv-password-input">
        <source>Code</source>
        <translation>Code</translation>
    </message>
    <message id="inv-hint-codeinput">
        <source>The code decrypts the invitation.</source>
        <translation>The code decrypts the invitation.</translation>
    </message>
    <message id="inv-hint-valid-data">
        <source>Looks good, ready to connect.</source>
        <translation>Looks good, ready to connect.</translation>
    </message>
    <message id="inv-hint-invalid-data">
        <source>The entered data is invalid.</source>
        <translation>The entered data is invalid.</translation>
    </message>
    <message id="btn-invaccept">
        <source>Accept invitation</source>
        <translation>Accept invitation</translation>
    </message>
    <message id="inv-active-title">
        <source>Active invitations</source>
        <translation>Active invitations</translation>
    </message>
    <message id="inv-active-invitations-list-hdr">
        <source>Invitations</source>
        <translation>Invitations</translation>
    </message>
    <message id="inv_active_invitations_status_label">
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message id="inv_active_invitations_code_label">
        <source>Code</source>
        <translation>Code</translation>
    </message>
    <message id="inv-active-invitations-created-label">
        <source>Created</source>
        <translation>Created</translation>
    </message>
    <message id="inv-active-invitations-expires-label">
        <source>Expires</source>
        <translation>Expires</translation>
    </message>
    <message id="inv-status-open">
        <source>open</source>
        <translation>open</translation>
    </message>
    <message id="inv-status-expired">
        <source>expired</source>
        <translation>expired</translation>
    </message>
    <message id="inv-delete-confirmation-title">
        <source>Delete confirmation</source>
        <translation>Delete confirmation</translation>
    </message>
    <message id="inv-delete-confirmation-txt">
        <source>Delete this invitation?</source>
        <translation>Delete this invitation?</translation>
    </message>
    <message id="btn-delete">
        <source>Delete</source>
        <translation>Delete</translation>
    </message>
    <message id="filer-reason-exists">
        <source>an item of that name exists already</source>
        <translation>an item of that name exists already</translation>
    </message>
    <message id="filer-reason-not-permitted">
        <source>not permitted</source>
        <translation>not permitted</translation>
    </message>
    <message id="filer-reason-not-found">
        <source>the item is not there any more</source>
        <translation>the item is not there any more</translation>
    </message>
    <message id="filer-reason-no-space">
        <source>the disk is full</source>
        <translation>the disk is full</translation>
    </message>
    <message id="filer-reason-timeout">
        <source>the machine did not answer in time</source>
        <translation>the machine did not answer in time</translation>
    </message>
    <message id="filer-reason-cross-device">
        <source>it would have to move to another drive</source>
        <translation>it would have to move to another drive</translation>
    </message>
    <message id="filer-reason-error">
        <source>error %1</source>
        <translation>error %1</translation>
    </message>
    <message id="filer-reason-no-free-name">
        <source>no free name</source>
        <translation>no free name</translation>
    </message>
    <message id="filer-name-empty">
        <source>A name is needed.</source>
        <translation>A name is needed.</translation>
    </message>
    <message id="filer-name-reserved">
        <source>“%1” cannot be used as a name.</source>
        <translation>“%1” cannot be used as a name.</translation>
    </message>
    <message id="filer-name-separator">
        <source>A name cannot hold “/”, “\” or a NUL character.</source>
        <translation>A name cannot hold “/”, “\” or a NUL character.</translation>
    </message>
    <message id="dlg-confirm-delete-title">
        <source>Confirm deletion</source>
        <translation>Confirm deletion</translation>
    </message>
    <message id="dlg-confirm-delete-q-folder">
        <source>Do you really want to delete the folder “%1” permanently?</source>
        <translation>Do you really want to delete the folder “%1” permanently?</translation>
    </message>
    <message id="dlg-confirm-delete-q-item">
        <source>Do you really want to delete “%1” permanently?</source>
        <translation>Do you really want to delete “%1” permanently?</translation>
    </message>
    <message id="dlg-confirm-delete-q-items" numerus="yes">
        <source>Do you really want to delete these %n items permanently?</source>
        <translation>
            <numerusform>Do you really want to delete the selected item permanently?</numerusform>
            <numerusform>Do you really want to delete these %n items permanently?</numerusform>
        </translation>
    </message>
    <message id="dlg-trash-failed-q" numerus="yes">
        <source>“%1” cannot be moved to the trash. Do you want to delete %n item(s) permanently, beginning with it?</source>
        <translation>
            <numerusform>“%1” cannot be moved to the trash. Do you want to delete it permanently?</numerusform>
            <numerusform>“%1” cannot be moved to the trash. Do you want to delete %n items permanently, beginning with it?</numerusform>
        </translation>
    </message>
    <message id="msg-trash-failed1">
        <source>Failed to put %1 in the trash.</source>
        <translation>Failed to put %1 in the trash.</translation>
    </message>
    <message id="msg-delete-failed1">
        <source>Failed to delete %1.</source>
        <translation>Failed to delete %1.</translation>
    </message>
    <message id="filer-status-delete-progress">
        <source>%1 of %2</source>
        <translation>%1 of %2</translation>
    </message>
    <message id="title-create-new-folder">
        <source>Create new folder</source>
        <translation>Create new folder</translation>
    </message>
    <message id="label-new-folder-name">
        <source>Folder name</source>
        <translation>Folder name</translation>
    </message>
    <message id="default-new-folder-name">
        <source>New Folder</source>
        <translation>New Folder</translation>
    </message>
    <message id="btn-create">
        <source>Create</source>
        <translation>Create</translation>
    </message>
    <message id="filer-status-mkdir-failed">
        <source>Failed to create folder: %1</source>
        <translation>Failed to create folder: %1</translation>
    </message>
    <message id="filer-status-rename-failed">
        <source>Failed to rename: %1</source>
        <translation>Failed to rename: %1</translation>
    </message>
    <message id="filer-status-unsupop">
        <source>Unsupported operation</source>
        <translation>Unsupported operation</translation>
    </message>
    <message id="dnd-pixmap-nitems">
        <source>%1 items</source>
        <translation>%1 items</translation>
    </message>
    <message id="filer-status-drag-refused">
        <source>These items cannot be dragged: there are too many, or a name holds a line break.</source>
        <translation>These items cannot be dragged: there are too many, or a name holds a line break.</translation>
    </message>
    <message id="action-move-here">
        <source>Move here</source>
        <translation>Move here</translation>
    </message>
    <message id="action-copy-here">
        <source>Copy here</source>
        <translation>Copy here</translation>
    </message>
    <message id="filer-status-drop-write-failed">
        <source>Failed to save the dropped image: %1</source>
        <translation>Failed to save the dropped image: %1</translation>
    </message>
    <message id="action-remote">
        <source>&amp;Remote</source>
        <translation>&amp;Remote</translation>
    </message>
    <message id="action-create-invitation">
        <source>&amp;Create invitation...</source>
        <translation>&amp;Create invitation...</translation>
    </message>
    <message id="action-add-invitation">
        <source>&amp;Add by invitation...</source>
        <translation>&amp;Add by invitation...</translation>
    </message>
    <message id="action-active-invitations">
        <source>Active &amp;Invitations...</source>
        <translation>Active &amp;Invitations...</translation>
    </message>
    <message id="action-network">
        <source>&amp;Network</source>
        <translation>&amp;Network</translation>
    </message>
    <message id="action-edit">
        <source>&amp;Edit</source>
        <translation>&amp;Edit</translation>
    </message>
    <message id="action-view">
        <source>&amp;Files view</source>
        <translation>&amp;Files view</translation>
    </message>
    <message id="action-online-docs">
        <source>Online &amp;documentation</source>
        <translation>Online &amp;documentation</translation>
    </message>
    <message id="action-larger">
        <source>Larger</source>
        <translation>Larger</translation>
    </message>
    <message id="action-smaller">
        <source>Smaller</source>
        <translation>Smaller</translation>
    </message>
    <message id="copy-dlg-title">
        <source>%1 % done</source>
        <translation>%1 % done</translation>
    </message>
    <message id="copy-status-aborted">
        <source>aborted</source>
        <translation>aborted</translation>
    </message>
    <message id="copy-status-failed">
        <source>failed</source>
        <translation>failed</translation>
    </message>
    <message id="copy-status-paused">
        <source>paused</source>
        <translation>paused</translation>
    </message>
    <message id="copy-status-init">
        <source>preparing...</source>
        <translation>preparing...</translation>
    </message>
    <message id="copy-status-done">
        <source>done</source>
        <translation>done</translation>
    </message>
    <message id="copy-close-question">
        <source>The copy has not finished. Cancel it?</source>
        <translation>The copy has not finished. Cancel it?</translation>
    </message>
    <message id="copy-headline-running">
        <source>Copying</source>
        <translation>Copying</translation>
    </message>
    <message id="copy-headline-init">
        <source>Counting what to copy...</source>
        <translation>Counting what to copy...</translation>
    </message>
    <message id="copy-headline-question">
        <source>Waiting for your answer</source>
        <translation>Waiting for your answer</translation>
    </message>
    <message id="copy-headline-waiting">
        <source>Waiting to start over</source>
        <translation>Waiting to start over</translation>
    </message>
    <message id="copy-headline-done">
        <source>Done: every file copied and verified</source>
        <translation>Done: every file copied and verified</translation>
    </message>
    <message id="copy-headline-done-some-failed">
        <source>Done, but some files were not copied</source>
        <translation>Done, but some files were not copied</translation>
    </message>
    <message id="copy-headline-failed">
        <source>Failed</source>
        <translation>Failed</translation>
    </message>
    <message id="copy-headline-aborted">
        <source>Aborted: the copy was cancelled</source>
        <translation>Aborted: the copy was cancelled</translation>
    </message>
    <message id="copy-progress-info2">
        <source>%1 of %2 copied (%3 %)</source>
        <translation>%1 of %2 copied (%3 %)</translation>
    </message>
    <message id="copy-progress-info1">
        <source>%1 of %2 files</source>
        <translation>%1 of %2 files</translation>
    </message>
    <message id="copy-waiting-reason">
        <source>The last try stopped: %1</source>
        <translation>The last try stopped: %1</translation>
    </message>
    <message id="copy-retry-pending">
        <source>Try %1 starts as soon as the last one has let go.</source>
        <translation>Try %1 starts as soon as the last one has let go.</translation>
    </message>
    <message id="copy-retry-info">
        <source>Try %1 starts at %2 (in %3 s).</source>
        <translation>Try %1 starts at %2 (in %3 s).</translation>
    </message>
    <message id="copy-kept-items">
        <source>Left at the source:</source>
        <translation>Left at the source:</translation>
    </message>
    <message id="copy-failed-items">
        <source>Not copied:</source>
        <translation>Not copied:</translation>
    </message>
    <message id="btn-skip">
        <source>Skip</source>
        <translation>Skip</translation>
    </message>
    <message id="btn-replace">
        <source>Replace</source>
        <translation>Replace</translation>
    </message>
    <message id="btn-replace-all">
        <source>Replace all</source>
        <translation>Replace all</translation>
    </message>
    <message id="btn-cancel-copy">
        <source>Cancel copy</source>
        <translation>Cancel copy</translation>
    </message>
    <message id="btn-keep-copying">
        <source>Keep copying</source>
        <translation>Keep copying</translation>
    </message>
    <message id="share-with-title-new-share">
        <source>Create new share</source>
        <translation>Create new share</translation>
    </message>
    <message id="share-with-title-edit-share">
        <source>Edit share</source>
        <translation>Edit share</translation>
    </message>
    <message id="share-with-peer-info">
        <source>Share with %1</source>
        <translation>Share with %1</translation>
    </message>
    <message id="share-with-option-can-view">
        <source>Can view</source>
        <translation>Can view</translation>
    </message>
    <message id="share-with-option-can-edit">
        <source>Can edit</source>
        <translation>Can edit</translation>
    </message>
    <message id="share-with-btn-remove-share">
        <source>Remove share</source>
        <translation>Remove share</translation>
    </message>
    <message id="share-with-btn-cancel">
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message id="share-with-btn-share">
        <source>Share</source>
        <translation>Share</translation>
    </message>
    <message id="share-with-btn-save">
        <source>Save</source>
        <translation>Save</translation>
    </message>
    <message id="share-with-error-store">
        <source>The share could not be stored. Please try again.</source>
        <translation>The share could not be stored. Please try again.</translation>
    </message>
    <message id="share-with-error-remove">
        <source>The share could not be removed; the peer still has access. Please try again.</source>
        <translation>The share could not be removed; the peer still has access. Please try again.</translation>
    </message>
    <message id="menu-share-with">
        <source>Share with</source>
        <translation>Share with</translation>
    </message>
    <message id="menu-share-drive-with">
        <source>Share drive with</source>
        <translation>Share drive with</translation>
    </message>
    <message id="archive-extract-failed">
        <source>Extraction of %1 failed</source>
        <translation>Extraction of %1 failed</translation>
    </message>
    <message id="archive-extract-failed-reason">
        <source>Extraction of %1 failed: %2</source>
        <translation>Extraction of %1 failed: %2</translation>
    </message>
    <message id="archive-extract-cancelled">
        <source>Extraction of %1 was cancelled</source>
        <translation>Extraction of %1 was cancelled</translation>
    </message>
    <message id="archive-reason-password">
        <source>password-protected archives are not supported</source>
        <translation>password-protected archives are not supported</translation>
    </message>
    <message id="archive-reason-unsafe">
        <source>it holds an entry that would be written outside its folder or cannot be checked (%1)</source>
        <translation>it holds an entry that would be written outside its folder or cannot be checked (%1)</translation>
    </message>
    <message id="archive-reason-listing">
        <source>the listing of the archive could not be read</source>
        <translation>the listing of the archive could not be read</translation>
    </message>
    <message id="archive-reason-timeout">
        <source>7z did not finish listing the archive in time</source>
        <translation>7z did not finish listing the archive in time</translation>
    </message>
    <message id="archive-reason-nostart">
        <source>%1 could not be started</source>
        <translation>%1 could not be started</translation>
    </message>
    <message id="archive-reason-crash">
        <source>7z stopped abnormally</source>
        <translation>7z stopped abnormally</translation>
    </message>
    <message id="archive-reason-exitcode">
        <source>7z reported error %1</source>
        <translation>7z reported error %1</translation>
    </message>
    <message id="archive-reason-move">
        <source>%1 could not be moved out of %2</source>
        <translation>%1 could not be moved out of %2</translation>
    </message>
    <message id="dlg-extract-title">
        <source>Extract archive</source>
        <translation>Extract archive</translation>
    </message>
    <message id="dlg-extract-left-seconds">
        <source>About %1 s left</source>
        <translation>About %1 s left</translation>
    </message>
    <message id="dlg-extract-left-minutes">
        <source>About %1 min %2 s left</source>
        <translation>About %1 min %2 s left</translation>
    </message>
    <message id="dlg-extract-left-hours">
        <source>About %1 h %2 min left</source>
        <translation>About %1 h %2 min left</translation>
    </message>
    <message id="launcher-no-application">
        <source>No application to open %1</source>
        <translation>No application to open %1</translation>
    </message>
    <message id="launcher-start-failed">
        <source>Could not start %1</source>
        <translation>Could not start %1</translation>
    </message>
    <message id="launcher-one-file">
        <source>%1 opens only one file at a time</source>
        <translation>%1 opens only one file at a time</translation>
    </message>
    <message id="menu-open-with">
        <source>Open with</source>
        <translation>Open with</translation>
    </message>
    <message id="action-customize-node">
        <source>Customize...</source>
        <translation>Customize...</translation>
    </message>
    <message id="action-open-node-rhs">
        <source>Open in right file pane</source>
        <translation>Open in right file pane</translation>
    </message>
    <message id="action-open-node-new-win">
        <source>Open in new window</source>
        <translation>Open in new window</translation>
    </message>
    <message id="action-delete-node">
        <source>Delete</source>
        <translation>Delete</translation>
    </message>
    <message id="action-rename-sector">
        <source>Rename</source>
        <translation>Rename</translation>
    </message>
    <message id="action-delete-sector">
        <source>Delete...</source>
        <translation>Delete...</translation>
    </message>
    <message id="dlg-delete-sector-title">
        <source>Delete view</source>
        <translation>Delete view</translation>
    </message>
    <message id="dlg-delete-sector-description">
        <source>Delete view "%1" and all items in it?</source>
        <translation>Delete view "%1" and all items in it?</translation>
    </message>
    <message id="filer-status-offline">
        <source>%1 is not connected</source>
        <translation>%1 is not connected</translation>
    </message>
    <message id="filer-status-dirselection" numerus="yes">
        <source>%n folder(s) selected</source>
        <translation>
            <numerusform>%n folder selected</numerusform>
            <numerusform>%n folders selected</numerusform>
        </translation>
    </message>
    <message id="filer-status-selection" numerus="yes">
        <source>%n item(s) selected %1</source>
        <translation>
            <numerusform>%n item selected %1</numerusform>
            <numerusform>%n items selected %1</numerusform>
        </translation>
    </message>
    <message id="filer-status-dir" numerus="yes">
        <source>%n item(s)</source>
        <translation>
            <numerusform>%n item</numerusform>
            <numerusform>%n items</numerusform>
        </translation>
    </message>
    <message id="filer-status-freespace">
        <source>%1 free</source>
        <translation>%1 free</translation>
    </message>
    <message id="filer-reveal-failed">
        <source>Cannot show %1 in the file manager</source>
        <translation>Cannot show %1 in the file manager</translation>
    </message>
</context>
</TS>
