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
    <message id="btn-cancel">
        <source>Cancel</source>
        <translation>Cancel</translation>
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
</context>
</TS>
