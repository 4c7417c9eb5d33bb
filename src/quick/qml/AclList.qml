import QtQuick 2.12
import "elements"

// The items this machine shares with a peer (the peer's access list). A
// click on a row opens the shared path; "edit" asks to change the share.
Item {
    id: root
    property var aclModel: null
    property string peerUuid: ""
    readonly property int itemHeight: 40
    property alias count: list.count
    property alias currentIndex: list.currentIndex
    signal pathClicked(string peerUuid, string selector)
    signal editClicked(string peerUuid, string aclUuid)

    implicitWidth: 480
    implicitHeight: list.count > 0 ? list.contentHeight : 0
    activeFocusOnTab: true
    onActiveFocusChanged: if (activeFocus) list.forceActiveFocus()

    ListView {
        id: list
        objectName: "aclListView"
        anchors.fill: parent
        interactive: false
        spacing: 8
        model: root.aclModel
        keyNavigationEnabled: true
        currentIndex: -1
        onActiveFocusChanged: if (activeFocus && currentIndex < 0 && count > 0) currentIndex = 0
        Keys.onReturnPressed: if (currentItem) root.pathClicked(root.peerUuid, currentItem.aclSelector)
        Keys.onEnterPressed: if (currentItem) root.pathClicked(root.peerUuid, currentItem.aclSelector)

        delegate: Item {
            id: aclRow
            objectName: "aclRow_" + index
            width: list.width
            height: root.itemHeight
            property string aclSelector: selector
            property string aclUuid: uuid

            Rectangle {
                anchors.fill: parent
                anchors.margins: -4
                radius: Theme.controlBorderRadius
                color: mouse.containsMouse ? Theme.controlHovered2 : Theme.transparent
                border.width: aclRow.ListView.isCurrentItem && list.activeFocus ? Theme.controlBorderWidthFocus : 0
                border.color: Theme.highlight
            }
            MouseArea {
                id: mouse
                anchors.fill: parent
                hoverEnabled: true
                cursorShape: Qt.PointingHandCursor
                onClicked: root.pathClicked(root.peerUuid, selector)
            }
            Row {
                anchors.left: parent.left
                anchors.verticalCenter: parent.verticalCenter
                spacing: 20
                Image {
                    source: icon
                    width: 32
                    height: 32
                    sourceSize.width: 32
                    sourceSize.height: 32
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: name
                    textFormat: Text.PlainText
                    elide: Text.ElideMiddle
                    width: Math.max(200, Math.min(implicitWidth, aclRow.width - 360))
                    color: Theme.base
                    font.pointSize: Theme.pointSizeNormal
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: (flags & 2) ? qsTrId("acl-read-write") : (flags & 1) ? qsTrId("acl-read-only") : ""
                    textFormat: Text.PlainText
                    color: Theme.text2
                    font.pointSize: Theme.pointSizeNormal
                }
                LinkButton {
                    objectName: "editButton"
                    anchors.verticalCenter: parent.verticalCenter
                    text: qsTrId("inline-btn-edit")
                    onClicked: root.editClicked(root.peerUuid, uuid)
                }
            }
        }
    }
}
