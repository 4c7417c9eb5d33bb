import QtQuick 2.12
import QtQuick.Window 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import QtQml.StateMachine 1.12 as DSM
import "../elements"

// Shares one folder, drive or file with one peer, or edits or removes that
// share. The program writes the properties, listens to accepted() and
// removeShare(), and closes the window once the store has taken the change;
// when it could not, it writes errorText and the window stays.
Window {
    id: win

    property string peerName
    property string selector
    property string icon
    property bool isNewShare: true
    property bool canEdit: false
    property string errorText
    property alias itemName: infoText.text

    readonly property int padding: 2 * Theme.spacing
    readonly property int textWidthLimit: 420
    // The window is as big as its content and no bigger or smaller. Set
    // from the layout rather than bound to it: a wrapped text changes its
    // height while the layout places it.
    property int fixedWidth: 0
    property int fixedHeight: 0

    function fitContent() {
        fixedWidth = Math.ceil(contentLayout.implicitWidth) + 2 * padding
        fixedHeight = Math.ceil(contentLayout.implicitHeight) + 2 * padding
    }

    signal accepted(bool canEdit)
    signal removeShare()
    signal canViewActivated()
    signal canEditActivated()

    visible: false
    modality: Qt.ApplicationModal
    flags: Qt.Dialog
    color: Theme.alternate
    //% "Create new share"
    title: isNewShare ? qsTrId("share-with-title-new-share")
                        //% "Edit share"
                      : qsTrId("share-with-title-edit-share")
    width: fixedWidth
    height: fixedHeight
    minimumWidth: fixedWidth
    maximumWidth: fixedWidth
    minimumHeight: fixedHeight
    maximumHeight: fixedHeight
    x: Math.max(0, (Screen.desktopAvailableWidth - fixedWidth) / 2)
    y: Math.max(0, (Screen.desktopAvailableHeight - fixedHeight) / 2)

    onCanEditChanged: canEdit ? canEditActivated() : canViewActivated()
    Component.onCompleted: fitContent()

    Connections {
        target: contentLayout
        function onImplicitWidthChanged() { Qt.callLater(win.fitContent) }
        function onImplicitHeightChanged() { Qt.callLater(win.fitContent) }
    }

    TextMetrics {
        id: textMetrics
        font: infoText.font
        text: win.itemName
    }

    TextMetrics {
        id: selectorMetrics
        font: selectorText.font
        text: win.selector
    }

    DSM.StateMachine {
        id: stateMachine
        running: true
        initialState: win.canEdit ? stateCanEdit : stateCanView

        DSM.State {
            id: stateCanView
            DSM.SignalTransition {
                targetState: stateCanEdit
                signal: win.canEditActivated
            }
        }
        DSM.State {
            id: stateCanEdit
            DSM.SignalTransition {
                targetState: stateCanView
                signal: win.canViewActivated
            }
        }
    }

    Connections {
        target: stateCanView
        function onEntered() {
            canViewCheckbox.checked = true
            canEditCheckbox.checked = false
        }
    }
    Connections {
        target: stateCanEdit
        function onEntered() {
            canViewCheckbox.checked = false
            canEditCheckbox.checked = true
        }
    }

    FocusScope {
        id: focusScope
        anchors.fill: parent
        focus: true
        Keys.onEscapePressed: win.close()
        // Return on a check box (a focused button takes it itself) shares.
        Keys.onReturnPressed: shareButton.clicked()
        Keys.onEnterPressed: shareButton.clicked()

        Rectangle {
            id: content
            anchors.fill: parent
            color: Theme.alternate

            ColumnLayout {
                id: contentLayout
                // Of its own implicit size (no width or height set): the
                // window follows the layout, never the other way round.
                x: win.padding
                y: win.padding
                spacing: Theme.spacing

                Text {
                    objectName: "peerInfo"
                    //% "Share with %1"
                    text: qsTrId("share-with-peer-info").arg(win.peerName)
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    Layout.maximumWidth: win.textWidthLimit
                    color: Theme.fg
                    font.pointSize: Theme.pointSizeNormal
                }

                RowLayout {
                    spacing: Theme.spacing
                    Layout.topMargin: Theme.spacing

                    Image {
                        objectName: "icon"
                        source: win.icon
                        smooth: false
                        cache: false
                        sourceSize.width: 32
                        sourceSize.height: 32
                        Layout.preferredWidth: 32
                        Layout.preferredHeight: 32
                        Layout.alignment: Qt.AlignLeft | Qt.AlignVCenter
                    }
                    Text {
                        id: infoText
                        objectName: "itemName"
                        // A name from a file system or a peer: never markup.
                        textFormat: Text.PlainText
                        wrapMode: Text.WrapAtWordBoundaryOrAnywhere
                        Layout.preferredWidth: Math.min(Math.ceil(textMetrics.advanceWidth) + 2, win.textWidthLimit - 40)
                        color: Theme.fg
                        font.pointSize: Theme.pointSizeNormal
                        font.bold: true
                    }
                }

                Text {
                    id: selectorText
                    objectName: "selector"
                    text: win.selector
                    textFormat: Text.PlainText
                    wrapMode: Text.WrapAnywhere
                    Layout.preferredWidth: Math.min(Math.ceil(selectorMetrics.advanceWidth) + 2, win.textWidthLimit)
                    color: Theme.textDisabled
                    font.pointSize: Theme.pointSizeNormal
                }

                RowLayout {
                    spacing: Theme.spacing
                    Layout.topMargin: Theme.spacing

                    ExtCheckBox {
                        id: canViewCheckbox
                        objectName: "canViewCheckbox"
                        //% "Can view"
                        text: qsTrId("share-with-option-can-view")
                        onToggled: checked ? win.canViewActivated() : win.canEditActivated()
                    }
                    ExtCheckBox {
                        id: canEditCheckbox
                        objectName: "canEditCheckbox"
                        //% "Can edit"
                        text: qsTrId("share-with-option-can-edit")
                        onToggled: checked ? win.canEditActivated() : win.canViewActivated()
                    }
                }

                Text {
                    id: errorLine
                    objectName: "errorLine"
                    visible: win.errorText !== ""
                    text: win.errorText
                    textFormat: Text.PlainText
                    wrapMode: Text.Wrap
                    Layout.preferredWidth: win.textWidthLimit
                    Layout.maximumWidth: win.textWidthLimit
                    color: Theme.error
                    font.pointSize: Theme.pointSizeNormal
                }

                RowLayout {
                    id: buttonRow
                    spacing: Theme.spacing
                    Layout.alignment: Qt.AlignRight
                    Layout.topMargin: Theme.spacing
                    Layout.fillWidth: true
                    // Keeps a short name from making a cramped window.
                    Layout.minimumWidth: 320

                    ExtButton {
                        id: removeButton
                        objectName: "removeButton"
                        //% "Remove share"
                        text: qsTrId("share-with-btn-remove-share")
                        visible: !win.isNewShare
                        onClicked: win.removeShare()
                    }
                    Item {
                        Layout.fillWidth: true
                        Layout.fillHeight: true
                        Layout.minimumWidth: 40
                    }
                    ExtButton {
                        id: cancelButton
                        objectName: "cancelButton"
                        //% "Cancel"
                        text: qsTrId("share-with-btn-cancel")
                        onClicked: win.close()
                    }
                    ExtButton {
                        id: shareButton
                        objectName: "shareButton"
                        focus: true
                        //% "Share"
                        text: win.isNewShare ? qsTrId("share-with-btn-share")
                                               //% "Save"
                                             : qsTrId("share-with-btn-save")
                        onClicked: win.accepted(stateCanEdit.active)
                    }
                }
            }
        }
    }
}
