import QtQuick 2.12
import com.orvanti.mirk 1.0

// One row of the machine list: the peer's icon (grey unless connected) and
// its name. A click chooses the peer; the row is a drag source of the
// peer's uuid.
Item {
    id: root
    property var peer: null
    readonly property string peerUuid: peer ? peer.uuid : ""
    readonly property string peerName: peer ? (peer.displayName.length > 0 ? peer.displayName : peer.name) : ""
    readonly property int linkState: peer ? peer.linkState : Peer.LinkDown
    readonly property bool current: ListView.isCurrentItem && ListView.view !== null && ListView.view.activeFocus
    signal peerSelected(Peer peerObject)
    signal peerPathSelected(Peer peerObject, string path)

    implicitHeight: 40
    implicitWidth: 8 + 32 + 16 + metrics.width

    state: linkState === Peer.LinkUp ? "connected"
         : linkState === Peer.LinkReachable ? "reachable"
         : linkState === Peer.LinkConnecting ? "connecting"
         : "offline"
    states: [
        State { name: "connected" },
        State { name: "reachable"; PropertyChanges { target: nameText; color: Theme.text2 } },
        State { name: "connecting"; PropertyChanges { target: nameText; color: Theme.text2; font.italic: true } },
        State { name: "offline"; PropertyChanges { target: nameText; color: Theme.textDisabled } }
    ]

    Drag.dragType: Drag.Automatic
    Drag.supportedActions: Qt.CopyAction
    Drag.active: mouse.drag.active
    Drag.mimeData: { "application/velm-peer-uuid": root.peerUuid }
    Drag.imageSource: icon.source

    Rectangle {
        anchors.fill: parent
        radius: 4
        color: mouse.containsMouse ? Theme.controlHovered2 : Theme.transparent
        border.width: root.current ? Theme.controlBorderWidthFocus : 0
        border.color: Theme.highlight
    }

    Image {
        id: icon
        objectName: "peerIcon"
        anchors.left: parent.left
        anchors.leftMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        width: 32
        height: 32
        sourceSize.width: 32
        sourceSize.height: 32
        // Desaturated while the peer is not connected.
        readonly property bool desaturated: root.state !== "connected"
        source: "image://theme/" + (desaturated ? "icongrey" : "icon") + "/"
                + (root.peer && root.peer.icon.length > 0 ? root.peer.icon : "dev-desktop") + ".svg"
    }
    Text {
        id: nameText
        objectName: "peerName"
        anchors.left: icon.right
        anchors.leftMargin: 16
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        text: root.peerName
        textFormat: Text.PlainText
        elide: Text.ElideMiddle
        color: Theme.base
        font.pointSize: Theme.pointSizeNormal
        TextMetrics { id: metrics; font: nameText.font; text: "MMMMMMMM" }
    }

    Item { id: dragProxy; width: 10; height: 10 }

    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: Qt.PointingHandCursor
        drag.target: dragProxy
        drag.axis: Drag.XAxis
        onClicked: if (root.peer) root.peerSelected(root.peer)
        onReleased: dragProxy.x = 0
    }
}
