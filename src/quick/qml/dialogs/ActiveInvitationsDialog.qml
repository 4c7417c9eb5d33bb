import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import QtQuick.Window 2.12
import com.orvanti.mirk 1.0
import "../elements"

// The stored invitations with their code, creation and expiry; one can be
// deleted after a confirmation.
Window {
    id: root
    property string deleteUuid: ""
    signal deleteInvitation(string uuid)

    title: qsTrId("inv-active-title")
    flags: Qt.Dialog
    width: 760
    height: 420
    minimumWidth: 480
    minimumHeight: 260
    x: (Screen.desktopAvailableWidth - width) / 2
    y: (Screen.desktopAvailableHeight - height) / 2
    color: Theme.background2

    // A time of the model (a date) as local short date and time.
    function timeText(date) {
        return date.toLocaleDateString(Qt.locale(), Locale.ShortFormat) + ", "
                + date.toLocaleTimeString(Qt.locale(), Locale.ShortFormat)
    }
    function askDelete(uuid) {
        deleteUuid = uuid
        confirmation.open()
    }

    Shortcut {
        sequence: "Escape"
        onActivated: confirmation.opened ? confirmation.close() : root.hide()
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.margins: 24
        spacing: Theme.spacing

        Text {
            text: qsTrId("inv-active-invitations-list-hdr")
            textFormat: Text.PlainText
            color: Theme.base
            font.pointSize: Theme.pointSizeLarge
        }
        RowLayout {
            Layout.fillWidth: true
            spacing: Theme.spacing
            Repeater {
                model: [qsTrId("inv_active_invitations_status_label"), qsTrId("inv_active_invitations_code_label"),
                        qsTrId("inv-active-invitations-created-label"), qsTrId("inv-active-invitations-expires-label")]
                Text {
                    Layout.preferredWidth: index === 0 ? 90 : index === 1 ? 110 : 180
                    text: modelData
                    textFormat: Text.PlainText
                    color: Theme.text2
                    font.bold: true
                    font.pointSize: Theme.pointSizeNormal
                }
            }
        }
        ListView {
            id: invList
            objectName: "invList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            spacing: 4
            model: invitationModel
            focus: true
            keyNavigationEnabled: true
            Keys.onDeletePressed: if (currentItem) root.askDelete(currentItem.uuid)
            delegate: Rectangle {
                objectName: "invRow_" + invUuid
                property string uuid: invUuid
                readonly property bool expired: invExpires.getTime() < Date.now()
                width: invList.width
                height: 32
                radius: Theme.controlBorderRadius
                color: ListView.isCurrentItem && invList.activeFocus ? Theme.controlChecked
                       : index % 2 ? Theme.alternate : Theme.normal
                RowLayout {
                    anchors.fill: parent
                    anchors.leftMargin: 4
                    spacing: Theme.spacing
                    Text {
                        Layout.preferredWidth: 90
                        text: expired ? qsTrId("inv-status-expired") : qsTrId("inv-status-open")
                        textFormat: Text.PlainText
                        color: expired ? Theme.textDisabled : Theme.base
                        font.pointSize: Theme.pointSizeNormal
                    }
                    Text {
                        Layout.preferredWidth: 110
                        text: invPassword
                        textFormat: Text.PlainText
                        font.family: "monospace"
                        color: Theme.base
                        font.pointSize: Theme.pointSizeNormal
                    }
                    Text {
                        Layout.preferredWidth: 180
                        text: root.timeText(invTimestamp)
                        textFormat: Text.PlainText
                        color: Theme.base
                        font.pointSize: Theme.pointSizeNormal
                    }
                    Text {
                        Layout.preferredWidth: 180
                        text: root.timeText(invExpires)
                        textFormat: Text.PlainText
                        color: Theme.base
                        font.pointSize: Theme.pointSizeNormal
                    }
                    Item { Layout.fillWidth: true }
                    LinkButton {
                        text: qsTrId("btn-delete")
                        onClicked: root.askDelete(invUuid)
                    }
                }
            }
        }
    }

    Popup {
        id: confirmation
        objectName: "confirmation"
        modal: true
        anchors.centerIn: parent
        width: 340
        padding: 20
        background: Rectangle {
            color: Theme.background2
            border.width: Theme.controlBorderWidth
            border.color: Theme.controlDarkShadow
            radius: Theme.controlBorderRadius
        }
        contentItem: ColumnLayout {
            spacing: Theme.spacing * 2
            Text {
                text: qsTrId("inv-delete-confirmation-title")
                textFormat: Text.PlainText
                font.bold: true
                color: Theme.base
                font.pointSize: Theme.pointSizeMedium
            }
            Text {
                text: qsTrId("inv-delete-confirmation-txt")
                textFormat: Text.PlainText
                color: Theme.base
                font.pointSize: Theme.pointSizeNormal
            }
            RowLayout {
                Layout.alignment: Qt.AlignRight
                ExtButton {
                    text: qsTrId("btn-cancel")
                    onClicked: confirmation.close()
                }
                ExtButton {
                    objectName: "deleteButton"
                    text: qsTrId("btn-delete")
                    onClicked: {
                        confirmation.close()
                        root.deleteInvitation(root.deleteUuid)
                    }
                }
            }
        }
    }
}
