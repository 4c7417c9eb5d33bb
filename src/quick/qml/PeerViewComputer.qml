import QtQuick 2.12
import com.orvanti.mirk 1.0

// The card of the peer page: the computer's kind and name.
Item {
    id: root
    property var peer: null
    property string peerName: peer ? (peer.displayName.length > 0 ? peer.displayName : peer.name) : ""
    property string peerType: ""
    property string deviceImg: "qrc:///img/computer-pc.svg"
    property var linkState: peer ? peer.linkState : Peer.LinkDown
    // Only the own peer is stored under the null uuid; any other uuid, one
    // that begins with zeros included, is a remote computer.
    readonly property bool isSelf: peer ? peer.uuid === "{00000000-0000-0000-0000-000000000000}" : false

    implicitWidth: row.implicitWidth
    implicitHeight: Math.min(80, row.implicitHeight)

    function updateImage() {
        if (!peer)
            return
        if (peer.deviceType === Peer.DeviceDesktop)
            deviceImg = "qrc:///img/computer-pc.svg"
        else if (peer.deviceType === Peer.DeviceLaptop)
            deviceImg = "qrc:///img/computer-laptop.svg"
    }
    onPeerChanged: updateImage()
    Connections {
        target: root.peer ? root.peer : null
        ignoreUnknownSignals: true
        function onDeviceTypeChanged() { root.updateImage() }
    }

    Row {
        id: row
        spacing: 16
        Image {
            id: image
            objectName: "deviceImage"
            source: root.deviceImg
            width: 96
            height: 80
            sourceSize.width: 96
            sourceSize.height: 80
            fillMode: Image.PreserveAspectFit
            opacity: root.linkState === Peer.LinkUp || root.isSelf ? 1.0 : 0.5
        }
        Column {
            anchors.verticalCenter: parent.verticalCenter
            spacing: 2
            Text {
                objectName: "kindText"
                text: root.isSelf ? qsTrId("label-this-pc") : qsTrId("label-remote-pc")
                textFormat: Text.PlainText
                color: Theme.text2
                font.pointSize: Theme.pointSizeNormal
            }
            Text {
                objectName: "nameText"
                text: root.peerName
                textFormat: Text.PlainText
                elide: Text.ElideRight
                width: Math.min(implicitWidth, 360)
                color: Theme.base
                font.pointSize: Theme.pointSizeHuge
            }
        }
    }
}
