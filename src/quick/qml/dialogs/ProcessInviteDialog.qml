import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import QtQuick.Window 2.12
import QtQml.StateMachine 1.0 as DSM
import com.orvanti.mirk 1.0
import "../elements"

// Accepting an invitation: the invitation text (or none, when the other
// computer announces it on the local network) and its code. Every edit is
// reported with textChanged; the window answers through `valid`.
Window {
    id: win
    property bool valid: false
    readonly property alias invitationText: invitation.text
    readonly property alias code: codeEdit.text
    // "validate", "empty", "valid" or "invalid".
    readonly property string validation: stateValidate.active ? "validate"
                                       : stateEmpty.active ? "empty"
                                       : stateValid.active ? "valid"
                                       : stateInvalid.active ? "invalid" : ""
    signal textChanged(string text, string password)
    signal addRemote(string text, string password)
    signal edited()
    // Internal: the window has answered the last report.
    signal validated()

    Timer { id: validateTimer; interval: 0; onTriggered: win.validated() }

    title: qsTrId("inv-process-invitation-dlg-title")
    modality: Qt.ApplicationModal
    flags: Qt.Dialog
    width: 560
    height: Math.max(480, layout.implicitHeight + 2 * 24)
    minimumWidth: 460
    minimumHeight: layout.implicitHeight + 2 * 24
    x: (Screen.desktopAvailableWidth - width) / 2
    y: (Screen.desktopAvailableHeight - height) / 2
    color: Theme.background2

    function setInvitation(text, password) {
        invitation.text = text
        codeEdit.text = password
        edited()
    }
    function accept() {
        if (!acceptButton.enabled)
            return
        addRemote(invitation.text.trim(), codeEdit.text.trim())
        close()
    }

    Shortcut {
        sequence: "Escape"
        onActivated: win.close()
    }

    // The state machine's transitions carry no guards: the decisions are
    // taken here and announced by the signals below.
    signal foundEmpty()
    signal foundValid()
    signal foundInvalid()
    signal becameValid()
    signal becameInvalid()
    function isEmpty() {
        return invitation.text.trim().length === 0 && codeEdit.text.trim().length === 0
    }
    onValidated: isEmpty() ? foundEmpty() : valid ? foundValid() : foundInvalid()
    onValidChanged: valid ? becameValid() : becameInvalid()

    DSM.StateMachine {
        id: machine
        running: true
        initialState: stateEmpty

        DSM.State {
            id: stateValidate
            onEntered: {
                win.textChanged(invitation.text.trim(), codeEdit.text.trim())
                validateTimer.restart()
            }
            // An edit while the answer is awaited is reported anew.
            DSM.SignalTransition { targetState: stateValidate; signal: win.edited }
            DSM.SignalTransition { targetState: stateEmpty; signal: win.foundEmpty }
            DSM.SignalTransition { targetState: stateValid; signal: win.foundValid }
            DSM.SignalTransition { targetState: stateInvalid; signal: win.foundInvalid }
        }
        DSM.State {
            id: stateEmpty
            DSM.SignalTransition { targetState: stateValidate; signal: win.edited }
        }
        DSM.State {
            id: stateValid
            DSM.SignalTransition { targetState: stateValidate; signal: win.edited }
            DSM.SignalTransition { targetState: stateInvalid; signal: win.becameInvalid }
        }
        DSM.State {
            id: stateInvalid
            DSM.SignalTransition { targetState: stateValidate; signal: win.edited }
            DSM.SignalTransition { targetState: stateValid; signal: win.becameValid }
        }
    }

    ColumnLayout {
        id: layout
        anchors.fill: parent
        anchors.margins: 24
        spacing: Theme.spacing * 2

        Text {
            Layout.fillWidth: true
            text: qsTrId("inv-description-accept-invitation")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.base
            font.pointSize: Theme.pointSizeNormal
        }
        ScrollView {
            Layout.fillWidth: true
            Layout.preferredHeight: 110
            TextArea {
                id: invitation
                objectName: "invitationText"
                textFormat: TextEdit.PlainText
                placeholderText: qsTrId("inv-paste-invitation-placeholder")
                selectByMouse: true
                wrapMode: TextEdit.WrapAnywhere
                font.family: "monospace"
                font.pointSize: Theme.pointSizeSmall
                focus: true
                KeyNavigation.tab: codeEdit.input
                onTextChanged: win.edited()
                background: Rectangle {
                    border.width: invitation.activeFocus ? Theme.controlBorderWidthFocus : Theme.controlBorderWidth
                    border.color: invitation.activeFocus ? Theme.highlight : Theme.controlShadow
                    radius: 3
                }
                MouseArea {
                    anchors.fill: parent
                    acceptedButtons: Qt.RightButton
                    onClicked: contextMenu.popup()
                }
                Menu {
                    id: contextMenu
                    MenuItem {
                        text: qsTrId("btn-copy")
                        enabled: invitation.selectedText.length > 0
                        onTriggered: invitation.copy()
                    }
                    MenuItem {
                        text: qsTrId("btn-paste")
                        onTriggered: invitation.paste()
                    }
                }
            }
        }
        LineEdit {
            id: codeEdit
            objectName: "codeEdit"
            Layout.fillWidth: true
            label: qsTrId("inv-password-input")
            description: stateValid.active ? qsTrId("inv-hint-valid-data")
                         : stateInvalid.active ? qsTrId("inv-hint-invalid-data")
                         : qsTrId("inv-hint-codeinput")
            showError: stateInvalid.active
            maximumLength: 8
            onTextEdited: win.edited()
            Connections {
                target: codeEdit.input
                function onAccepted() { win.accept() }
            }
        }
        Text {
            Layout.fillWidth: true
            text: qsTrId("inv-accept-description")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.text2
            font.pointSize: Theme.pointSizeNormal
        }
        Item { Layout.fillHeight: true }
        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: Theme.spacing
            ExtButton {
                objectName: "cancelButton"
                text: qsTrId("btn-cancel")
                onClicked: win.close()
            }
            ExtButton {
                id: acceptButton
                objectName: "acceptButton"
                text: qsTrId("btn-invaccept")
                enabled: stateValid.active && win.valid
                onClicked: win.accept()
            }
        }
    }
}
