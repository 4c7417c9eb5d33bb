<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name></name>
    <message id="window-title">
        <source>Velm</source>
        <translation>Velm</translation>
    </message>
    <message id="label-this-pc">
        <source>This PC</source>
        <translation>Dieser PC</translation>
    </message>
    <message id="file-copy-count" numerus="yes">
        <source>(%n. Copy)</source>
        <translation>
            <numerusform>(Kopie)</numerusform>
            <numerusform>(%n. Kopie)</numerusform>
        </translation>
    </message>
    <message id="file-copy-q-overwrite">
        <source>“%1” already exists. Replace it?</source>
        <translation>„%1“ existiert bereits. Ersetzen?</translation>
    </message>
    <message id="open-src-file-access-denied">
        <source>Access denied: “%1” cannot be read.</source>
        <translation>Zugriff verweigert: „%1“ kann nicht gelesen werden.</translation>
    </message>
    <message id="open-dst-file-access-denied">
        <source>Access denied: “%1” cannot be written.</source>
        <translation>Zugriff verweigert: „%1“ kann nicht geschrieben werden.</translation>
    </message>
    <message id="copy-list-access-denied">
        <source>Access denied: the folder “%1” cannot be read.</source>
        <translation>Zugriff verweigert: Der Ordner „%1“ kann nicht gelesen werden.</translation>
    </message>
    <message id="copy-dst-dir-access-denied">
        <source>Access denied: the folder “%1” cannot be created.</source>
        <translation>Zugriff verweigert: Der Ordner „%1“ kann nicht angelegt werden.</translation>
    </message>
    <message id="copy-dst-not-a-directory">
        <source>“%1” exists and is not a folder.</source>
        <translation>„%1“ existiert und ist kein Ordner.</translation>
    </message>
    <message id="copy-into-itself">
        <source>The folder “%1” cannot be copied into itself.</source>
        <translation>Der Ordner „%1“ kann nicht in sich selbst kopiert werden.</translation>
    </message>
    <message id="copy-unsafe-name">
        <source>The source gave a name that cannot be used: “%1”.</source>
        <translation>Die Quelle nannte einen unbrauchbaren Namen: „%1“.</translation>
    </message>
    <message id="copy-failure-no-space">
        <source>No space left on %1: “%2”.</source>
        <translation>Kein Speicherplatz mehr auf %1: „%2“.</translation>
    </message>
    <message id="copy-failure-not-permitted">
        <source>Not permitted on %1: “%2”.</source>
        <translation>Auf %1 nicht erlaubt: „%2“.</translation>
    </message>
    <message id="copy-failure-not-found">
        <source>Not found on %1: “%2”.</source>
        <translation>Auf %1 nicht gefunden: „%2“.</translation>
    </message>
    <message id="copy-failure-unreachable">
        <source>%1 cannot be reached.</source>
        <translation>%1 ist nicht erreichbar.</translation>
    </message>
    <message id="copy-failure-timed-out">
        <source>%1 did not answer in time: “%2”.</source>
        <translation>%1 hat nicht rechtzeitig geantwortet: „%2“.</translation>
    </message>
    <message id="copy-failure-changed">
        <source>Changed while copied: “%1”.</source>
        <translation>Während des Kopierens geändert: „%1“.</translation>
    </message>
    <message id="copy-failure-other">
        <source>Copying failed on %1: “%2”.</source>
        <translation>Kopieren auf %1 fehlgeschlagen: „%2“.</translation>
    </message>
    <message id="copy-failure-unknown">
        <source>Copying failed.</source>
        <translation>Kopieren fehlgeschlagen.</translation>
    </message>
    <message id="copy-path-too-long">
        <source>The path is too long: “%1”.</source>
        <translation>Der Pfad ist zu lang: „%1“.</translation>
    </message>
    <message id="copy-dst-not-cut">
        <source>“%1” is longer than the source and cannot be shortened.</source>
        <translation>„%1“ ist länger als die Quelle und kann nicht gekürzt werden.</translation>
    </message>
    <message id="copy-no-duplicate-name">
        <source>There is no free name for a copy of “%1”.</source>
        <translation>Es gibt keinen freien Namen für eine Kopie von „%1“.</translation>
    </message>
    <message id="copy-no-destination">
        <source>No destination folder was given.</source>
        <translation>Es wurde kein Zielordner angegeben.</translation>
    </message>
    <message id="copy-eta-seconds">
        <source>A few seconds left</source>
        <translation>Noch wenige Sekunden</translation>
    </message>
    <message id="copy-eta-less1minute">
        <source>Less than a minute left</source>
        <translation>Noch weniger als eine Minute</translation>
    </message>
    <message id="copy-eta-minutes">
        <source>About %1 min left</source>
        <translation>Noch etwa %1 Min.</translation>
    </message>
    <message id="copy-eta-hours">
        <source>About %1 h left</source>
        <translation>Noch etwa %1 Std.</translation>
    </message>
    <message id="drive-local-disk">
        <source>Local Disk (%1)</source>
        <translation>Laufwerk (%1)</translation>
    </message>
    <message id="drive-main-hd">
        <source>Main HD</source>
        <translation>Hauptfestplatte</translation>
    </message>
    <message id="drive-volume-gb">
        <source>%1 GB Volume</source>
        <translation>%1-GB-Volume</translation>
    </message>
    <message id="place-shares">
        <source>Shares</source>
        <translation>Freigaben</translation>
    </message>
    <message id="column-name">
        <source>Name</source>
        <translation>Name</translation>
    </message>
    <message id="column-type">
        <source>Type</source>
        <translation>Typ</translation>
    </message>
    <message id="column-path">
        <source>Path</source>
        <translation>Pfad</translation>
    </message>
    <message id="column-size">
        <source>Size</source>
        <translation>Größe</translation>
    </message>
    <message id="column-access">
        <source>Access</source>
        <translation>Zugriff</translation>
    </message>
    <message id="column-created">
        <source>Created</source>
        <translation>Erstellt</translation>
    </message>
    <message id="column-modified">
        <source>Modified</source>
        <translation>Geändert</translation>
    </message>
    <message id="column-mime">
        <source>Mime</source>
        <translation>MIME-Typ</translation>
    </message>
    <message id="column-flags">
        <source>Flags</source>
        <translation>Markierungen</translation>
    </message>
    <message id="column-reference">
        <source>Reference</source>
        <translation>Verweis</translation>
    </message>
    <message id="column-hidden">
        <source>Hidden</source>
        <translation>Versteckt</translation>
    </message>
    <message id="item-type-folder">
        <source>Folder</source>
        <translation>Ordner</translation>
    </message>
    <message id="startup-problem-title">
        <source>Velm cannot start</source>
        <translation>Velm kann nicht starten</translation>
    </message>
    <message id="startup-another-instance">
        <source>Velm is already running with the configuration directory %1.</source>
        <translation>Velm läuft bereits mit dem Konfigurationsverzeichnis %1.</translation>
    </message>
    <message id="startup-lock-failed">
        <source>Velm cannot lock its configuration directory: %1</source>
        <translation>Velm kann sein Konfigurationsverzeichnis nicht sperren: %1</translation>
    </message>
    <message id="startup-database-unusable">
        <source>Velm cannot use its database %1: %2
The file was left as it is.</source>
        <translation>Velm kann seine Datenbank %1 nicht verwenden: %2
Die Datei wurde nicht verändert.</translation>
    </message>
    <message id="action-cut">
        <source>Cut</source>
        <translation>Ausschneiden</translation>
    </message>
    <message id="action-copy">
        <source>Copy</source>
        <translation>Kopieren</translation>
    </message>
    <message id="action-copy-to">
        <source>Copy to other side</source>
        <translation>Auf die andere Seite kopieren</translation>
    </message>
    <message id="action-move-to">
        <source>Move to other side</source>
        <translation>Auf die andere Seite verschieben</translation>
    </message>
    <message id="action-paste">
        <source>Paste</source>
        <translation>Einfügen</translation>
    </message>
    <message id="action-trash">
        <source>Move to Trash</source>
        <translation>In den Papierkorb verschieben</translation>
    </message>
    <message id="action-delete">
        <source>Delete</source>
        <translation>Löschen</translation>
    </message>
    <message id="action-new-folder">
        <source>New folder</source>
        <translation>Neuer Ordner</translation>
    </message>
    <message id="action-rename">
        <source>Rename</source>
        <translation>Umbenennen</translation>
    </message>
    <message id="action-preview">
        <source>Preview</source>
        <translation>Vorschau</translation>
    </message>
    <message id="action-icon-view">
        <source>as Icons</source>
        <translation>als Symbole</translation>
    </message>
    <message id="action-list-view">
        <source>as List</source>
        <translation>als Liste</translation>
    </message>
    <message id="action-column-view">
        <source>as Columns</source>
        <translation>als Spalten</translation>
    </message>
    <message id="action-new-window">
        <source>New window</source>
        <translation>Neues Fenster</translation>
    </message>
    <message id="action-show-hidden-items">
        <source>Show hidden items</source>
        <translation>Versteckte Objekte anzeigen</translation>
    </message>
    <message id="action-toggle-rightpane">
        <source>Toggle right pane</source>
        <translation>Rechte Seite umschalten</translation>
    </message>
    <message id="action-in-rightpane">
        <source>Open in right pane</source>
        <translation>Rechts öffnen</translation>
    </message>
    <message id="action-in-rightpanetab">
        <source>Open in new tab in right pane</source>
        <translation>Rechts in neuem Tab öffnen</translation>
    </message>
    <message id="action-in-leftpane">
        <source>Open in left pane</source>
        <translation>Links öffnen</translation>
    </message>
    <message id="action-in-leftpanetab">
        <source>Open in new tab in left pane</source>
        <translation>Links in neuem Tab öffnen</translation>
    </message>
    <message id="action-openin-tab">
        <source>Open in new tab</source>
        <translation>In neuem Tab öffnen</translation>
    </message>
    <message id="action-show-props">
        <source>Properties</source>
        <translation>Eigenschaften</translation>
    </message>
    <message id="action-reveal-explorer">
        <source>Reveal in Explorer</source>
        <translation>Im Dateimanager zeigen</translation>
    </message>
    <message id="menu-extract-item">
        <source>Extract</source>
        <translation>Entpacken</translation>
    </message>
    <message id="action-show-nodeview">
        <source>Show node view</source>
        <translation>Knotenansicht zeigen</translation>
    </message>
    <message id="action-show-alt-filer">
        <source>Show files on right hand side</source>
        <translation>Dateien rechts zeigen</translation>
    </message>
    <message id="action-share-drive">
        <source>Share drive</source>
        <translation>Laufwerk freigeben</translation>
    </message>
    <message id="action-new-tab">
        <source>New Tab</source>
        <translation>Neuer Tab</translation>
    </message>
    <message id="action-close-tab">
        <source>Close Tab</source>
        <translation>Tab schließen</translation>
    </message>
    <message id="upd-btn-show">
        <source>Show</source>
        <translation>Anzeigen</translation>
    </message>
    <message id="upd-ntf-newversion">
        <source>velm %1 is available.</source>
        <translation>velm %1 ist verfügbar.</translation>
    </message>
    <message id="job-cut-kept-not-empty">
        <source>Kept: it holds items that were not copied</source>
        <translation>Behalten: enthält Elemente, die nicht kopiert wurden</translation>
    </message>
    <message id="job-cut-kept-failed">
        <source>Kept: it could not be deleted (error %1)</source>
        <translation>Behalten: konnte nicht gelöscht werden (Fehler %1)</translation>
    </message>
    <message id="action-help">
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message id="action-about-velm">
        <source>About velm</source>
        <translation>Über velm</translation>
    </message>
    <message id="action-check-updates">
        <source>Check for updates</source>
        <translation>Nach Aktualisierungen suchen</translation>
    </message>
    <message id="btn-close">
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message id="about-public-beta">
        <source>public beta</source>
        <translation>öffentliche Beta</translation>
    </message>
    <message id="about-version">
        <source>version</source>
        <translation>Version</translation>
    </message>
    <message id="about-onion-address">
        <source>Onion address:</source>
        <translation>Onion-Adresse:</translation>
    </message>
    <message id="about-qt-version">
        <source>Qt version:</source>
        <translation>Qt-Version:</translation>
    </message>
    <message id="about-renderer">
        <source>Renderer:</source>
        <translation>Renderer:</translation>
    </message>
    <message id="about-renderer-unknown">
        <source>unknown</source>
        <translation>unbekannt</translation>
    </message>
    <message id="about-licenses">
        <source>Open Source Licenses</source>
        <translation>Open-Source-Lizenzen</translation>
    </message>
    <message id="about-notice">
        <source>velm connects your own machines, and nothing else.</source>
        <translation>velm verbindet Ihre eigenen Rechner, und sonst nichts.</translation>
    </message>
    <message id="upd-window-title">
        <source>Software update</source>
        <translation>Softwareaktualisierung</translation>
    </message>
    <message id="upd-msg-querystatus">
        <source>Query update information...</source>
        <translation>Aktualisierungsinformationen werden abgefragt...</translation>
    </message>
    <message id="upd-msg-inforestart">
        <source>After the update has finished velm will restart, this may take several seconds.</source>
        <translation>Nach der Aktualisierung startet velm neu, das kann einige Sekunden dauern.</translation>
    </message>
    <message id="upd-msg-downloading">
        <source>Downloading update...</source>
        <translation>Aktualisierung wird heruntergeladen...</translation>
    </message>
    <message id="upd-msg-dlfinished">
        <source>Download finished, restarting application...</source>
        <translation>Herunterladen beendet, die Anwendung startet neu...</translation>
    </message>
    <message id="upd-msg-noupdate">
        <source>All up-to-date, velm is at the latest version %1.</source>
        <translation>Alles aktuell, velm hat die neueste Version %1.</translation>
    </message>
    <message id="upd-btn-skip">
        <source>Skip this version</source>
        <translation>Diese Version überspringen</translation>
    </message>
    <message id="upd-btn-remind">
        <source>Remind me later</source>
        <translation>Später erinnern</translation>
    </message>
    <message id="upd-btn-tryagain">
        <source>Try again</source>
        <translation>Erneut versuchen</translation>
    </message>
    <message id="upd-btn-homepage">
        <source>Visit homepage</source>
        <translation>Webseite besuchen</translation>
    </message>
    <message id="upd-error-query">
        <source>Failed to query the update server. Please try again later.</source>
        <translation>Der Aktualisierungsserver konnte nicht abgefragt werden. Bitte versuchen Sie es später erneut.</translation>
    </message>
    <message id="upd-error-nosource">
        <source>No update site is set.</source>
        <translation>Es ist keine Aktualisierungsseite eingestellt.</translation>
    </message>
    <message id="upd-error-address">
        <source>The update site %1 is not used: its address must begin with https:// (plain http only to this machine).</source>
        <translation>Die Aktualisierungsseite %1 wird nicht verwendet: ihre Adresse muss mit https:// beginnen (einfaches http nur zu diesem Rechner).</translation>
    </message>
    <message id="upd-newavailable">
        <source>velm %1 is now available — you have %2. Would you like to install it now?</source>
        <translation>velm %1 ist jetzt verfügbar — Sie haben %2. Möchten Sie es jetzt installieren?</translation>
    </message>
    <message id="upd-error-rmarfail">
        <source>Failed to delete %1.</source>
        <translation>%1 konnte nicht gelöscht werden.</translation>
    </message>
    <message id="upd-error-aropenfail">
        <source>Failed to create %1.</source>
        <translation>%1 konnte nicht angelegt werden.</translation>
    </message>
    <message id="upd-dlfailed">
        <source>Failed to download the update.</source>
        <translation>Die Aktualisierung konnte nicht heruntergeladen werden.</translation>
    </message>
    <message id="upd-transferprogress">
        <source>%1 of %2</source>
        <translation>%1 von %2</translation>
    </message>
    <message id="upd-transferprogress-nototal">
        <source>%1 received</source>
        <translation>%1 empfangen</translation>
    </message>
    <message id="upd-timeleft-secs">
        <source>About %1 s left</source>
        <translation>Noch etwa %1 s</translation>
    </message>
    <message id="upd-timeleft-mins">
        <source>About %1 min left</source>
        <translation>Noch etwa %1 min</translation>
    </message>
    <message id="upd-failextract2">
        <source>Failed to extract the update.</source>
        <translation>Die Aktualisierung konnte nicht entpackt werden.</translation>
    </message>
    <message id="upd-error-dlnotexist.">
        <source>Update file %1 doesn't exist.</source>
        <translation>Die Aktualisierungsdatei %1 existiert nicht.</translation>
    </message>
    <message id="action-create-vsector">
        <source>Add new node view</source>
        <translation>Neue Knotenansicht hinzufügen</translation>
    </message>
    <message id="sector-main">
        <source>Main view</source>
        <translation>Hauptansicht</translation>
    </message>
    <message id="label-new-nodeview">
        <source>View %1</source>
        <translation>Ansicht %1</translation>
    </message>
    <message id="node-directory-not-reachable">
        <source>Directory not reachable</source>
        <translation>Ordner nicht erreichbar</translation>
    </message>
    <message id="dlg-customize-node-title">
        <source>Customize node</source>
        <translation>Knoten anpassen</translation>
    </message>
    <message id="dlg-customize-node-no-icon">
        <source>No icon</source>
        <translation>Kein Symbol</translation>
    </message>
    <message id="dlg-customize-node-label-icons">
        <source>Icons</source>
        <translation>Symbole</translation>
    </message>
    <message id="btn-preview-origsize">
        <source>Original size</source>
        <translation>Originalgröße</translation>
    </message>
    <message id="tooltip-preview-btn-origsize">
        <source>Scales content to 100%</source>
        <translation>Zeigt den Inhalt in 100 %</translation>
    </message>
    <message id="btn-preview-fitview">
        <source>Fit in view</source>
        <translation>Einpassen</translation>
    </message>
    <message id="tooltip-preview-btn-fitview">
        <source>Fits the content to the view size</source>
        <translation>Passt den Inhalt in die Ansicht ein</translation>
    </message>
    <message id="preview-failed">
        <source>The file cannot be shown.</source>
        <translation>Die Datei kann nicht angezeigt werden.</translation>
    </message>
    <message id="no-preview-available">
        <source>No preview available for &quot;%1&quot;</source>
        <translation>Keine Vorschau für „%1“ verfügbar</translation>
    </message>
    <message id="place-home">
        <source>Personal folder</source>
        <translation>Persönlicher Ordner</translation>
    </message>
    <message id="place-network">
        <source>Network</source>
        <translation>Netzwerk</translation>
    </message>
    <message id="place-peer-overview">
        <source>Overview</source>
        <translation>Übersicht</translation>
    </message>
    <message id="breadcrump-online-tooltip">
        <source>Allow connection to other computers</source>
        <translation>Verbindung zu anderen Computern erlauben</translation>
    </message>
    <message id="network-hint-offlinemode">
        <source>Connecting with other computers via LAN or Internet is deactivated.</source>
        <translation>Die Verbindung mit anderen Computern über LAN oder Internet ist ausgeschaltet.</translation>
    </message>
    <message id="label-remote-pc">
        <source>Remote PC</source>
        <translation>Entfernter PC</translation>
    </message>
    <message id="drive-space-info">
        <source>%1  ⁄  %2 free</source>
        <translation>%1  ⁄  %2 frei</translation>
    </message>
    <message id="acl-read-write">
        <source>read / write</source>
        <translation>lesen / schreiben</translation>
    </message>
    <message id="acl-read-only">
        <source>read only</source>
        <translation>nur lesen</translation>
    </message>
    <message id="inline-btn-edit">
        <source>edit</source>
        <translation>bearbeiten</translation>
    </message>
    <message id="btn-shared-items">
        <source>Shared items</source>
        <translation>Freigegebene Elemente</translation>
    </message>
    <message id="label-your-shares">
        <source>Your shared items</source>
        <translation>Ihre Freigaben</translation>
    </message>
    <message id="description-remote-not-reachable">
        <source>The remote computer is currently not reachable.</source>
        <translation>Der entfernte Computer ist zurzeit nicht erreichbar.</translation>
    </message>
    <message id="no-shared-items-on-remote">
        <source>There are no shared items on "%1".</source>
        <translation>Auf "%1" sind keine Elemente freigegeben.</translation>
    </message>
    <message id="no-shared-items-for-remote">
        <source>You don't share any items with "%1".</source>
        <translation>Sie geben keine Elemente für "%1" frei.</translation>
    </message>
    <message id="inv-create-title">
        <source>Create invitation</source>
        <translation>Einladung erstellen</translation>
    </message>
    <message id="inv-info-text">
        <source>Send the following invitation via email or messenger.</source>
        <translation>Senden Sie die folgende Einladung per E-Mail oder Messenger.</translation>
    </message>
    <message id="inv-code-description">
        <source>The code encrypts the invitation and should be communicated over a separate channel like a phone or secure messenger.</source>
        <translation>Der Code verschlüsselt die Einladung und sollte über einen anderen Weg mitgeteilt werden, etwa am Telefon oder über einen sicheren Messenger.</translation>
    </message>
    <message id="inv-lifetime-hint">
        <source>The invitation is valid for three days and can be used once. Send the code by another channel than the invitation text.</source>
        <translation>Die Einladung gilt drei Tage und kann einmal verwendet werden. Senden Sie den Code auf einem anderen Weg als den Einladungstext.</translation>
    </message>
    <message id="inv-password-label">
        <source>Code:</source>
        <translation>Code:</translation>
    </message>
    <message id="inv-copy-to-clipboard">
        <source>Copy to clipboard</source>
        <translation>In die Zwischenablage kopieren</translation>
    </message>
    <message id="inv-accept-hint">
        <source>The invitation can be accepted via 'Remote / Add by invitation...' on the other computer.</source>
        <translation>Die Einladung kann auf dem anderen Computer über 'Fernzugriff / Per Einladung hinzufügen...' angenommen werden.</translation>
    </message>
    <message id="btn-cancel">
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message id="inv-btn-create">
        <source>Create invitation</source>
        <translation>Einladung erstellen</translation>
    </message>
    <message id="inv-process-invitation-dlg-title">
        <source>Accept invitation</source>
        <translation>Einladung annehmen</translation>
    </message>
    <message id="inv-description-accept-invitation">
        <source>By accepting the invitation two computers can be connected.</source>
        <translation>Durch das Annehmen der Einladung werden zwei Computer verbunden.</translation>
    </message>
    <message id="inv-paste-invitation-placeholder">
        <source>Paste the invitation here...</source>
        <translation>Einladung hier einfügen...</translation>
    </message>
    <message id="title-copy-to">
        <source>Copy to other file pane</source>
        <translation>In anderen Dateibereich kopieren</translation>
    </message>
    <message id="title-move-to">
        <source>Move to other file pane</source>
        <translation>In anderen Dateibereich verschieben</translation>
    </message>
    <message id="label-copyto-destination">
        <source>Copy to</source>
        <translation>Kopieren nach</translation>
    </message>
    <message id="label-moveto-destination">
        <source>Move to</source>
        <translation>Verschieben nach</translation>
    </message>
    <message id="btn-move">
        <source>Move</source>
        <translation>Verschieben</translation>
    </message>
    <message id="copyto-no-destination">
        <source>Give a folder to copy into</source>
        <translation>Geben Sie einen Zielordner an</translation>
    </message>
    <message id="copyto-not-a-folder">
        <source>%1 is no folder to copy into</source>
        <translation>%1 ist kein Ordner, in den kopiert werden kann</translation>
    </message>
    <message id="filer-paste-same-folder">
        <source>The items are in this folder already</source>
        <translation>Die Elemente liegen bereits in diesem Ordner</translation>
    </message>
    <message id="launch-dir-make-failed">
        <source>Cannot make the folder %1: %2</source>
        <translation>Der Ordner %1 kann nicht angelegt werden: %2</translation>
    </message>
    <message id="launch-dir-not-private">
        <source>The folder %1 is not private to you; nothing is copied there</source>
        <translation>Der Ordner %1 gehört nicht allein Ihnen; dorthin wird nichts kopiert</translation>
    </message>
    <message id="launch-dir-bad-peer">
        <source>%1 is no machine id</source>
        <translation>%1 ist keine Rechnerkennung</translation>
    </message>
    <message id="launch-copy-not-loaded">
        <source>%1 is not loaded; nothing was opened</source>
        <translation>%1 ist nicht geladen; nichts wurde geöffnet</translation>
    </message>
    <message id="launch-copy-same-name">
        <source>Files of the same name cannot be opened together</source>
        <translation>Dateien gleichen Namens können nicht zusammen geöffnet werden</translation>
    </message>
    <message id="launch-copy-failed">
        <source>The copy did not finish; nothing was opened</source>
        <translation>Die Kopie wurde nicht fertig; nichts wurde geöffnet</translation>
    </message>
    <message id="btn-copy">
        <source>Copy</source>
        <translation>Kopieren</translation>
    </message>
    <message id="btn-paste">
        <source>Paste</source>
        <translation>Einfügen</translation>
    </message>
    <message id="inv-accept-description">
        <source>The first connection can take a few minutes. Folders are shared from the context menu of the file view.</source>
        <translation>Die erste Verbindung kann einige Minuten dauern. Ordner werden über das Kontextmenü der Dateiansicht freigegeben.</translation>
    </message>
    <message id="inv-password-input">
        <source>Code</source>
        <translation>Code</translation>
    </message>
    <message id="inv-hint-codeinput">
        <source>The code decrypts the invitation.</source>
        <translation>Der Code entschlüsselt die Einladung.</translation>
    </message>
    <message id="inv-hint-valid-data">
        <source>Looks good, ready to connect.</source>
        <translation>Sieht gut aus, bereit zum Verbinden.</translation>
    </message>
    <message id="inv-hint-invalid-data">
        <source>The entered data is invalid.</source>
        <translation>Die eingegebenen Daten sind ungültig.</translation>
    </message>
    <message id="btn-invaccept">
        <source>Accept invitation</source>
        <translation>Einladung annehmen</translation>
    </message>
    <message id="inv-active-title">
        <source>Active invitations</source>
        <translation>Aktive Einladungen</translation>
    </message>
    <message id="inv-active-invitations-list-hdr">
        <source>Invitations</source>
        <translation>Einladungen</translation>
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
        <translation>Erstellt</translation>
    </message>
    <message id="inv-active-invitations-expires-label">
        <source>Expires</source>
        <translation>Läuft ab</translation>
    </message>
    <message id="inv-status-open">
        <source>open</source>
        <translation>offen</translation>
    </message>
    <message id="inv-status-expired">
        <source>expired</source>
        <translation>abgelaufen</translation>
    </message>
    <message id="inv-delete-confirmation-title">
        <source>Delete confirmation</source>
        <translation>Löschen bestätigen</translation>
    </message>
    <message id="inv-delete-confirmation-txt">
        <source>Delete this invitation?</source>
        <translation>Diese Einladung löschen?</translation>
    </message>
    <message id="btn-delete">
        <source>Delete</source>
        <translation>Löschen</translation>
    </message>
    <message id="filer-reason-exists">
        <source>an item of that name exists already</source>
        <translation>ein Element dieses Namens gibt es schon</translation>
    </message>
    <message id="filer-reason-not-permitted">
        <source>not permitted</source>
        <translation>nicht erlaubt</translation>
    </message>
    <message id="filer-reason-not-found">
        <source>the item is not there any more</source>
        <translation>das Element ist nicht mehr da</translation>
    </message>
    <message id="filer-reason-no-space">
        <source>the disk is full</source>
        <translation>der Datenträger ist voll</translation>
    </message>
    <message id="filer-reason-timeout">
        <source>the machine did not answer in time</source>
        <translation>das Gerät hat nicht rechtzeitig geantwortet</translation>
    </message>
    <message id="filer-reason-cross-device">
        <source>it would have to move to another drive</source>
        <translation>es müsste auf ein anderes Laufwerk verschoben werden</translation>
    </message>
    <message id="filer-reason-error">
        <source>error %1</source>
        <translation>Fehler %1</translation>
    </message>
    <message id="filer-reason-no-free-name">
        <source>no free name</source>
        <translation>kein freier Name</translation>
    </message>
    <message id="filer-name-empty">
        <source>A name is needed.</source>
        <translation>Ein Name wird benötigt.</translation>
    </message>
    <message id="filer-name-reserved">
        <source>“%1” cannot be used as a name.</source>
        <translation>„%1“ kann nicht als Name verwendet werden.</translation>
    </message>
    <message id="filer-name-separator">
        <source>A name cannot hold “/”, “\” or a NUL character.</source>
        <translation>Ein Name darf weder „/“ noch „\“ noch ein NUL-Zeichen enthalten.</translation>
    </message>
    <message id="dlg-confirm-delete-title">
        <source>Confirm deletion</source>
        <translation>Löschen bestätigen</translation>
    </message>
    <message id="dlg-confirm-delete-q-folder">
        <source>Do you really want to delete the folder “%1” permanently?</source>
        <translation>Wollen Sie den Ordner „%1“ wirklich endgültig löschen?</translation>
    </message>
    <message id="dlg-confirm-delete-q-item">
        <source>Do you really want to delete “%1” permanently?</source>
        <translation>Wollen Sie „%1“ wirklich endgültig löschen?</translation>
    </message>
    <message id="dlg-confirm-delete-q-items" numerus="yes">
        <source>Do you really want to delete these %n items permanently?</source>
        <translation>
            <numerusform>Wollen Sie das ausgewählte Element wirklich endgültig löschen?</numerusform>
            <numerusform>Wollen Sie diese %n Elemente wirklich endgültig löschen?</numerusform>
        </translation>
    </message>
    <message id="dlg-trash-failed-q" numerus="yes">
        <source>“%1” cannot be moved to the trash. Do you want to delete %n item(s) permanently, beginning with it?</source>
        <translation>
            <numerusform>„%1“ kann nicht in den Papierkorb verschoben werden. Wollen Sie es endgültig löschen?</numerusform>
            <numerusform>„%1“ kann nicht in den Papierkorb verschoben werden. Wollen Sie %n Elemente endgültig löschen, angefangen mit diesem?</numerusform>
        </translation>
    </message>
    <message id="msg-trash-failed1">
        <source>Failed to put %1 in the trash.</source>
        <translation>%1 konnte nicht in den Papierkorb verschoben werden.</translation>
    </message>
    <message id="msg-delete-failed1">
        <source>Failed to delete %1.</source>
        <translation>%1 konnte nicht gelöscht werden.</translation>
    </message>
    <message id="filer-status-delete-progress">
        <source>%1 of %2</source>
        <translation>%1 von %2</translation>
    </message>
    <message id="title-create-new-folder">
        <source>Create new folder</source>
        <translation>Neuen Ordner erstellen</translation>
    </message>
    <message id="label-new-folder-name">
        <source>Folder name</source>
        <translation>Ordnername</translation>
    </message>
    <message id="default-new-folder-name">
        <source>New Folder</source>
        <translation>Neuer Ordner</translation>
    </message>
    <message id="btn-create">
        <source>Create</source>
        <translation>Erstellen</translation>
    </message>
    <message id="filer-status-mkdir-failed">
        <source>Failed to create folder: %1</source>
        <translation>Ordner konnte nicht erstellt werden: %1</translation>
    </message>
    <message id="filer-status-rename-failed">
        <source>Failed to rename: %1</source>
        <translation>Umbenennen fehlgeschlagen: %1</translation>
    </message>
    <message id="filer-status-unsupop">
        <source>Unsupported operation</source>
        <translation>Nicht unterstützter Vorgang</translation>
    </message>
    <message id="dnd-pixmap-nitems">
        <source>%1 items</source>
        <translation>%1 Elemente</translation>
    </message>
    <message id="filer-status-drag-refused">
        <source>These items cannot be dragged: there are too many, or a name holds a line break.</source>
        <translation>Diese Elemente können nicht gezogen werden: es sind zu viele, oder ein Name enthält einen Zeilenumbruch.</translation>
    </message>
    <message id="action-move-here">
        <source>Move here</source>
        <translation>Hierher verschieben</translation>
    </message>
    <message id="action-copy-here">
        <source>Copy here</source>
        <translation>Hierher kopieren</translation>
    </message>
    <message id="filer-status-drop-write-failed">
        <source>Failed to save the dropped image: %1</source>
        <translation>Das abgelegte Bild konnte nicht gespeichert werden: %1</translation>
    </message>
    <message id="action-remote">
        <source>&amp;Remote</source>
        <translation>&amp;Fernzugriff</translation>
    </message>
    <message id="action-create-invitation">
        <source>&amp;Create invitation...</source>
        <translation>Einladung &amp;erstellen...</translation>
    </message>
    <message id="action-add-invitation">
        <source>&amp;Add by invitation...</source>
        <translation>Per Einladung &amp;hinzufügen...</translation>
    </message>
    <message id="action-active-invitations">
        <source>Active &amp;Invitations...</source>
        <translation>&amp;Aktive Einladungen...</translation>
    </message>
    <message id="action-network">
        <source>&amp;Network</source>
        <translation>&amp;Netzwerk</translation>
    </message>
    <message id="action-edit">
        <source>&amp;Edit</source>
        <translation>&amp;Bearbeiten</translation>
    </message>
    <message id="action-view">
        <source>&amp;Files view</source>
        <translation>&amp;Dateiansicht</translation>
    </message>
    <message id="action-online-docs">
        <source>Online &amp;documentation</source>
        <translation>Online-&amp;Dokumentation</translation>
    </message>
    <message id="action-larger">
        <source>Larger</source>
        <translation>Größer</translation>
    </message>
    <message id="action-smaller">
        <source>Smaller</source>
        <translation>Kleiner</translation>
    </message>
    <message id="copy-dlg-title">
        <source>%1 % done</source>
        <translation>%1 % erledigt</translation>
    </message>
    <message id="copy-status-aborted">
        <source>aborted</source>
        <translation>abgebrochen</translation>
    </message>
    <message id="copy-status-failed">
        <source>failed</source>
        <translation>fehlgeschlagen</translation>
    </message>
    <message id="copy-status-paused">
        <source>paused</source>
        <translation>angehalten</translation>
    </message>
    <message id="copy-status-init">
        <source>preparing...</source>
        <translation>wird vorbereitet …</translation>
    </message>
    <message id="copy-status-done">
        <source>done</source>
        <translation>fertig</translation>
    </message>
    <message id="copy-close-question">
        <source>The copy has not finished. Cancel it?</source>
        <translation>Das Kopieren ist nicht fertig. Abbrechen?</translation>
    </message>
    <message id="copy-headline-running">
        <source>Copying</source>
        <translation>Wird kopiert</translation>
    </message>
    <message id="copy-headline-init">
        <source>Counting what to copy...</source>
        <translation>Das Kopieren wird vorbereitet …</translation>
    </message>
    <message id="copy-headline-question">
        <source>Waiting for your answer</source>
        <translation>Wartet auf Ihre Antwort</translation>
    </message>
    <message id="copy-headline-waiting">
        <source>Waiting to start over</source>
        <translation>Wartet auf den nächsten Versuch</translation>
    </message>
    <message id="copy-headline-done">
        <source>Done: every file copied and verified</source>
        <translation>Fertig: alle Dateien kopiert und geprüft</translation>
    </message>
    <message id="copy-headline-done-some-failed">
        <source>Done, but some files were not copied</source>
        <translation>Fertig, aber einige Dateien wurden nicht kopiert</translation>
    </message>
    <message id="copy-headline-failed">
        <source>Failed</source>
        <translation>Fehlgeschlagen</translation>
    </message>
    <message id="copy-headline-aborted">
        <source>Aborted: the copy was cancelled</source>
        <translation>Abgebrochen: das Kopieren wurde abgebrochen</translation>
    </message>
    <message id="copy-progress-info2">
        <source>%1 of %2 copied (%3 %)</source>
        <translation>%1 von %2 kopiert (%3 %)</translation>
    </message>
    <message id="copy-progress-info1">
        <source>%1 of %2 files</source>
        <translation>%1 von %2 Dateien</translation>
    </message>
    <message id="copy-waiting-reason">
        <source>The last try stopped: %1</source>
        <translation>Der letzte Versuch brach ab: %1</translation>
    </message>
    <message id="copy-retry-pending">
        <source>Try %1 starts as soon as the last one has let go.</source>
        <translation>Versuch %1 beginnt, sobald der letzte beendet ist.</translation>
    </message>
    <message id="copy-retry-info">
        <source>Try %1 starts at %2 (in %3 s).</source>
        <translation>Versuch %1 beginnt um %2 (in %3 s).</translation>
    </message>
    <message id="copy-kept-items">
        <source>Left at the source:</source>
        <translation>An der Quelle geblieben:</translation>
    </message>
    <message id="copy-failed-items">
        <source>Not copied:</source>
        <translation>Nicht kopiert:</translation>
    </message>
    <message id="btn-skip">
        <source>Skip</source>
        <translation>Überspringen</translation>
    </message>
    <message id="btn-replace">
        <source>Replace</source>
        <translation>Ersetzen</translation>
    </message>
    <message id="btn-replace-all">
        <source>Replace all</source>
        <translation>Alle ersetzen</translation>
    </message>
    <message id="btn-cancel-copy">
        <source>Cancel copy</source>
        <translation>Kopieren abbrechen</translation>
    </message>
    <message id="btn-keep-copying">
        <source>Keep copying</source>
        <translation>Weiter kopieren</translation>
    </message>
    <message id="share-with-title-new-share">
        <source>Create new share</source>
        <translation>Neue Freigabe</translation>
    </message>
    <message id="share-with-title-edit-share">
        <source>Edit share</source>
        <translation>Freigabe bearbeiten</translation>
    </message>
    <message id="share-with-peer-info">
        <source>Share with %1</source>
        <translation>Freigeben für %1</translation>
    </message>
    <message id="share-with-option-can-view">
        <source>Can view</source>
        <translation>Darf ansehen</translation>
    </message>
    <message id="share-with-option-can-edit">
        <source>Can edit</source>
        <translation>Darf bearbeiten</translation>
    </message>
    <message id="share-with-btn-remove-share">
        <source>Remove share</source>
        <translation>Freigabe entfernen</translation>
    </message>
    <message id="share-with-btn-cancel">
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message id="share-with-btn-share">
        <source>Share</source>
        <translation>Freigeben</translation>
    </message>
    <message id="share-with-btn-save">
        <source>Save</source>
        <translation>Speichern</translation>
    </message>
    <message id="share-with-error-store">
        <source>The share could not be stored. Please try again.</source>
        <translation>Die Freigabe konnte nicht gespeichert werden. Bitte erneut versuchen.</translation>
    </message>
    <message id="share-with-error-remove">
        <source>The share could not be removed; the peer still has access. Please try again.</source>
        <translation>Die Freigabe konnte nicht entfernt werden; der andere Rechner hat weiter Zugriff. Bitte erneut versuchen.</translation>
    </message>
    <message id="menu-share-with">
        <source>Share with</source>
        <translation>Freigeben für</translation>
    </message>
    <message id="menu-share-drive-with">
        <source>Share drive with</source>
        <translation>Laufwerk freigeben für</translation>
    </message>
    <message id="archive-extract-failed">
        <source>Extraction of %1 failed</source>
        <translation>Entpacken von %1 fehlgeschlagen</translation>
    </message>
    <message id="archive-extract-failed-reason">
        <source>Extraction of %1 failed: %2</source>
        <translation>Entpacken von %1 fehlgeschlagen: %2</translation>
    </message>
    <message id="archive-extract-cancelled">
        <source>Extraction of %1 was cancelled</source>
        <translation>Entpacken von %1 wurde abgebrochen</translation>
    </message>
    <message id="archive-reason-password">
        <source>password-protected archives are not supported</source>
        <translation>passwortgeschützte Archive werden nicht unterstützt</translation>
    </message>
    <message id="archive-reason-unsafe">
        <source>it holds an entry that would be written outside its folder or cannot be checked (%1)</source>
        <translation>es enthält einen Eintrag, der außerhalb seines Ordners geschrieben würde oder nicht geprüft werden kann (%1)</translation>
    </message>
    <message id="archive-reason-listing">
        <source>the listing of the archive could not be read</source>
        <translation>das Inhaltsverzeichnis des Archivs konnte nicht gelesen werden</translation>
    </message>
    <message id="archive-reason-timeout">
        <source>7z did not finish listing the archive in time</source>
        <translation>7z hat das Inhaltsverzeichnis des Archivs nicht rechtzeitig geliefert</translation>
    </message>
    <message id="archive-reason-nostart">
        <source>%1 could not be started</source>
        <translation>%1 konnte nicht gestartet werden</translation>
    </message>
    <message id="archive-reason-crash">
        <source>7z stopped abnormally</source>
        <translation>7z wurde unerwartet beendet</translation>
    </message>
    <message id="archive-reason-exitcode">
        <source>7z reported error %1</source>
        <translation>7z meldete Fehler %1</translation>
    </message>
    <message id="archive-reason-move">
        <source>%1 could not be moved out of %2</source>
        <translation>%1 konnte nicht aus %2 verschoben werden</translation>
    </message>
    <message id="dlg-extract-title">
        <source>Extract archive</source>
        <translation>Archiv entpacken</translation>
    </message>
    <message id="dlg-extract-left-seconds">
        <source>About %1 s left</source>
        <translation>Noch etwa %1 s</translation>
    </message>
    <message id="dlg-extract-left-minutes">
        <source>About %1 min %2 s left</source>
        <translation>Noch etwa %1 min %2 s</translation>
    </message>
    <message id="dlg-extract-left-hours">
        <source>About %1 h %2 min left</source>
        <translation>Noch etwa %1 h %2 min</translation>
    </message>
    <message id="launcher-no-application">
        <source>No application to open %1</source>
        <translation>Kein Programm öffnet %1</translation>
    </message>
    <message id="launcher-start-failed">
        <source>Could not start %1</source>
        <translation>%1 konnte nicht gestartet werden</translation>
    </message>
    <message id="launcher-one-file">
        <source>%1 opens only one file at a time</source>
        <translation>%1 öffnet nur eine Datei auf einmal</translation>
    </message>
    <message id="menu-open-with">
        <source>Open with</source>
        <translation>Öffnen mit</translation>
    </message>
    <message id="action-customize-node">
        <source>Customize...</source>
        <translation>Anpassen...</translation>
    </message>
    <message id="action-open-node-rhs">
        <source>Open in right file pane</source>
        <translation>Im rechten Dateibereich öffnen</translation>
    </message>
    <message id="action-open-node-new-win">
        <source>Open in new window</source>
        <translation>In neuem Fenster öffnen</translation>
    </message>
    <message id="action-delete-node">
        <source>Delete</source>
        <translation>Löschen</translation>
    </message>
    <message id="action-rename-sector">
        <source>Rename</source>
        <translation>Umbenennen</translation>
    </message>
    <message id="action-delete-sector">
        <source>Delete...</source>
        <translation>Löschen...</translation>
    </message>
    <message id="dlg-delete-sector-title">
        <source>Delete view</source>
        <translation>Ansicht löschen</translation>
    </message>
    <message id="dlg-delete-sector-description">
        <source>Delete view "%1" and all items in it?</source>
        <translation>Ansicht "%1" und alle Elemente darin löschen?</translation>
    </message>
    <message id="filer-status-offline">
        <source>%1 is not connected</source>
        <translation>%1 ist nicht verbunden</translation>
    </message>
    <message id="filer-status-dirselection" numerus="yes">
        <source>%n folder(s) selected</source>
        <translation>
            <numerusform>%n Ordner ausgewählt</numerusform>
            <numerusform>%n Ordner ausgewählt</numerusform>
        </translation>
    </message>
    <message id="filer-status-selection" numerus="yes">
        <source>%n item(s) selected %1</source>
        <translation>
            <numerusform>%n Element ausgewählt %1</numerusform>
            <numerusform>%n Elemente ausgewählt %1</numerusform>
        </translation>
    </message>
    <message id="filer-status-dir" numerus="yes">
        <source>%n item(s)</source>
        <translation>
            <numerusform>%n Element</numerusform>
            <numerusform>%n Elemente</numerusform>
        </translation>
    </message>
    <message id="filer-status-freespace">
        <source>%1 free</source>
        <translation>%1 frei</translation>
    </message>
    <message id="filer-reveal-failed">
        <source>Cannot show %1 in the file manager</source>
        <translation>%1 kann nicht im Dateimanager gezeigt werden</translation>
    </message>
</context>
</TS>
