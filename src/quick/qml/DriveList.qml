import QtQuick 2.12
import QtQuick.Layouts 1.12

// The drives of a peer with their free space; a click opens a drive, and a
// row drags as the drive's path with the peer's uuid.
ListView {
    id: root
    property var vfsDriveModel: null
    property string peerUuid: ""
    readonly property int itemHeight: 40
    signal pathClicked(string path)

    interactive: false
    spacing: 24
    implicitHeight: count > 0 ? contentHeight : 0
    height: implicitHeight
    implicitWidth: 480
    model: vfsDriveModel
    keyNavigationEnabled: true
    activeFocusOnTab: true
    currentIndex: -1
    onActiveFocusChanged: if (activeFocus && currentIndex < 0 && count > 0) currentIndex = 0
    Keys.onReturnPressed: if (currentItem) pathClicked(currentItem.drivePath)
    Keys.onEnterPressed: if (currentItem) pathClicked(currentItem.drivePath)

    function sizeText(bytes) {
        var mb = bytes / 1000000
        if (mb < 1000)
            return Math.round(mb) + " MB"
        return Math.round(mb / 1000) + " GB"
    }

    delegate: Item {
        id: driveRow
        objectName: "driveRow_" + index
        width: root.width
        height: root.itemHeight
        property string drivePath: vfsDrivePath

        Drag.dragType: Drag.Automatic
        Drag.supportedActions: Qt.CopyAction
        Drag.active: mouse.drag.active
        Drag.imageSource: icon.source
        Drag.mimeData: { "application/velm-breadcrumb": vfsDrivePath, "application/velm-peer-uuid": root.peerUuid }

        Rectangle {
            anchors.fill: parent
            anchors.margins: -4
            radius: Theme.controlBorderRadius
            color: mouse.containsMouse ? Theme.controlHovered2 : Theme.transparent
            border.width: driveRow.ListView.isCurrentItem && root.activeFocus ? Theme.controlBorderWidthFocus : 0
            border.color: Theme.highlight
        }

        RowLayout {
            anchors.fill: parent
            spacing: 16
            Image {
                id: icon
                source: "image://theme/" + vfsDriveIconName
                sourceSize.width: 32
                sourceSize.height: 32
                Layout.preferredWidth: 32
                Layout.preferredHeight: 32
            }
            Text {
                text: vfsDriveDisplayName
                textFormat: Text.PlainText
                elide: Text.ElideMiddle
                color: Theme.base
                font.pointSize: Theme.pointSizeNormal
                Layout.minimumWidth: 160
                Layout.maximumWidth: 200
                Layout.preferredWidth: 190
            }
            ColumnLayout {
                spacing: 5
                Layout.minimumWidth: 200
                Layout.maximumWidth: 400
                Layout.preferredWidth: 260
                Rectangle {
                    Layout.fillWidth: true
                    height: 10
                    radius: 5
                    color: Theme.control
                    border.width: 1
                    border.color: Theme.controlShadow
                    Rectangle {
                        x: 2
                        y: 2
                        height: parent.height - 4
                        radius: 4
                        width: vfsDriveBytesTotal > 0
                               ? (parent.width - 4) * Math.min(1, Math.max(0, (vfsDriveBytesTotal - vfsDriveBytesAvailable) / vfsDriveBytesTotal))
                               : 0
                        color: Theme.highlight
                    }
                }
                Text {
                    objectName: "spaceText"
                    text: qsTrId("drive-space-info").arg(root.sizeText(vfsDriveBytesAvailable)).arg(root.sizeText(vfsDriveBytesTotal))
                    textFormat: Text.PlainText
                    color: Theme.text2
                    font.pointSize: Theme.pointSizeSmall
                }
            }
            Item { Layout.fillWidth: true }
        }

        Item { id: dragProxy; width: 10; height: 10 }
        MouseArea {
            id: mouse
            anchors.fill: parent
            hoverEnabled: true
            cursorShape: Qt.PointingHandCursor
            drag.target: dragProxy
            drag.axis: Drag.XAxis
            onClicked: root.pathClicked(vfsDrivePath)
            onReleased: dragProxy.x = 0
        }
    }
}
