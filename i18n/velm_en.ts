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
    <message id="btn-cancel">
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message id="btn-delete">
        <source>Delete</source>
        <translation>Delete</translation>
    </message>
</context>
</TS>
