import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import QtQuick.Window 2.12
import com.orvanti.mirk 1.0
import "../elements"

// Shows a new invitation (text and code) before it is stored; "Create
// invitation" stores it through the window, "Cancel" drops it.
Window {
    id: win
    property string url: ""
    property string uuid: ""
    property string password: ""
    // The name the invitation is stored under.
    property string invitationName: ""
    signal copyToClipboard(string url)
    signal createInvitation(string uuid, string name, string url, string password)

    title: qsTrId("inv-create-title")
    modality: Qt.ApplicationModal
    flags: Qt.Dialog
    width: 560
    height: Math.max(420, layout.implicitHeight + 2 * 24)
    minimumWidth: 460
    minimumHeight: layout.implicitHeight + 2 * 24
    x: (Screen.desktopAvailableWidth - width) / 2
    y: (Screen.desktopAvailableHeight - height) / 2
    color: Theme.background2

    function accept() {
        createInvitation(uuid, invitationName, url, password)
        close()
    }

    Shortcut {
        sequence: "Escape"
        onActivated: win.close()
    }

    ColumnLayout {
        id: layout
        anchors.fill: parent
        anchors.margins: 24
        spacing: Theme.spacing * 2

        Text {
            Layout.fillWidth: true
            text: qsTrId("inv-info-text")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.base
            font.pointSize: Theme.pointSizeNormal
        }
        ScrollView {
            Layout.fillWidth: true
            Layout.preferredHeight: 96
            TextArea {
                id: urlText
                objectName: "urlText"
                text: win.url
                textFormat: TextEdit.PlainText
                readOnly: true
                selectByMouse: true
                wrapMode: TextEdit.WrapAnywhere
                font.family: "monospace"
                font.pointSize: Theme.pointSizeSmall
                background: Rectangle {
                    color: Theme.alternate
                    border.width: Theme.controlBorderWidth
                    border.color: Theme.controlShadow
                    radius: 3
                }
            }
        }
        ExtButton {
            objectName: "copyButton"
            text: qsTrId("inv-copy-to-clipboard")
            onClicked: win.copyToClipboard(win.url)
        }
        RowLayout {
            spacing: Theme.spacing
            Text {
                text: qsTrId("inv-password-label")
                textFormat: Text.PlainText
                color: Theme.base
                font.pointSize: Theme.pointSizeLarge
            }
            TextField {
                objectName: "passwordText"
                text: win.password
                readOnly: true
                selectByMouse: true
                font.family: "monospace"
                font.pointSize: Theme.pointSizeLarge
                font.bold: true
                Layout.preferredWidth: 180
            }
        }
        Text {
            Layout.fillWidth: true
            text: qsTrId("inv-code-description")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.text2
            font.pointSize: Theme.pointSizeNormal
        }
        Text {
            objectName: "lifetimeText"
            Layout.fillWidth: true
            text: qsTrId("inv-lifetime-hint")
            textFormat: Text.PlainText
            wrapMode: Text.WordWrap
            color: Theme.text2
            font.pointSize: Theme.pointSizeNormal
        }
        Text {
            Layout.fillWidth: true
            text: qsTrId("inv-accept-hint")
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
                objectName: "createButton"
                text: qsTrId("inv-btn-create")
                enabled: win.url.length > 0 && win.password.length > 0
                focus: true
                onClicked: win.accept()
            }
        }
    }
}
