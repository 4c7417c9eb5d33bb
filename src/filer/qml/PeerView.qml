import QtQuick 2.15

// A peer as a whole: its name and its drives.
Flickable {
    id: root
    property var peer: null
    property string peerName: peer ? (peer.displayName !== "" ? peer.displayName : peer.name) : ""
    property string peerUuid: peer ? peer.uuid : ""
    property bool isSelfPeer: peerUuid === "{00000000-0000-0000-0000-000000000000}"
    property var linkState: peer ? peer.linkState : 0

    signal pathClicked(string path)
    signal editPeerAclClicked(string peerUuid, string aclUuid)
    signal showMyShares()
    signal showPeerShares()

    contentHeight: column.height + 64
    clip: true

    Column {
        id: column
        x: 24
        y: 32
        spacing: 16
        Text {
            text: root.peerName
            textFormat: Text.PlainText
            font.pixelSize: 24
        }
        Repeater {
            model: root.peer ? root.peer.vfsDriveModel : null
            Rectangle {
                width: 320
                height: 40
                radius: 4
                color: driveArea.containsMouse ? "#e3e3e3" : "transparent"
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    x: 8
                    text: vfsDriveDisplayName !== "" ? vfsDriveDisplayName : vfsDrivePath
                    textFormat: Text.PlainText
                }
                MouseArea {
                    id: driveArea
                    anchors.fill: parent
                    hoverEnabled: true
                    onClicked: root.pathClicked(vfsDrivePath)
                }
            }
        }
    }
}
