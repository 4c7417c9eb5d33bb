import QtQuick 2.12
import com.orvanti.mirk 1.0

// A machine of the network, the own one included: its icon (faded while the
// link is not up) and its name.
Item {
    id: root
    objectName: "peerNode"
    z: 1001
    width: box.width
    height: box.height

    property var peer: null
    property var style: Theme.node ? Theme.node.style0 : null
    property string peerUuid: ""
    property string path: ""
    property string icon: ""
    property string uuid: ""
    property string type: ""
    property string name: ""
    property real pad: 14
    property real cx1: 0
    property real cy1: 0
    property real cx2: 0
    property real cy2: 0
    property real cx3: 0
    property real cy3: 0
    property real cx4: 0
    property real cy4: 0
    property rect connector: Qt.rect(box.x, box.y, box.width, box.height)
    property real connectorX: box.width / 2
    property real connectorY: box.height
    property int connectorDirections: 4
    property bool needSafe: false
    property bool indirect: false
    property bool hasChildren: false
    property bool selected: false
    property bool dragTree: false
    property color dragIndicatorColor: Theme.highlight
    readonly property bool linkUp: root.peer !== null && root.peer.linkState === Peer.LinkUp
    property real lastX: x
    property real lastY: y

    signal nodeAlternateClicked()
    signal nodeClicked()
    signal contextMenuRequest()
    signal nodeDoubleClicked(string peerUuid)

    onXChanged: parentMoved()
    onYChanged: parentMoved()

    function parentMoved() {
        const dx = x - lastX
        const dy = y - lastY
        lastX = x
        lastY = y
        if (dragTree && (dx !== 0 || dy !== 0))
            parentDragTree(dx, dy)
    }
    function parentDragTree(dx, dy) {
        if (!parent)
            return
        const items = parent.children
        for (let i = 0; i < items.length; ++i) {
            const child = items[i]
            if (child === root || child.parentDir !== root)
                continue
            child.dragTreeX = dx
            child.dragTreeY = dy
            child.x += dx
            child.y += dy
            if (child.parentDragTree)
                child.parentDragTree(dx, dy)
        }
    }

    BorderImage {
        anchors.fill: box
        anchors.margins: -4
        anchors.topMargin: -2
        source: "/img/shd-border-img.png"
        border { left: 6; top: 6; right: 6; bottom: 6 }
        opacity: 0.65
    }

    Rectangle {
        id: box
        width: Math.max(120, iconCell.width + label.width + root.pad + 12)
        height: 48
        radius: 6
        color: root.style ? root.style.bg : Theme.background2
        border.width: root.selected ? 2 : 1
        border.color: root.selected ? Theme.highlight : (root.style ? root.style.border : Theme.controlShadow)

        Item {
            id: iconCell
            x: 12
            y: 4
            width: 48
            height: 40
            Image {
                objectName: "peerIcon"
                anchors.centerIn: parent
                width: 32
                height: 32
                sourceSize.width: 32
                sourceSize.height: 32
                source: root.icon !== "" ? root.icon : "image://theme/icon/computer.svg"
                opacity: root.linkUp ? 1 : 0.4
            }
        }
        Text {
            id: label
            objectName: "nameLabel"
            anchors.verticalCenter: parent.verticalCenter
            anchors.left: iconCell.right
            text: root.peer !== null && root.peer.displayName !== "" ? root.peer.displayName : root.name
            textFormat: Text.PlainText
            elide: Text.ElideRight
            width: Math.min(implicitWidth, 240)
            color: root.style ? root.style.fg : Theme.fg
            font.pointSize: Theme.pointSizeNormal
            font.bold: true
        }
    }

    NodeMenu {
        anchors.verticalCenter: box.verticalCenter
        anchors.right: box.right
        anchors.rightMargin: -4
        active: nodeMouse.containsMouse || root.selected
        indicatorColor: root.dragIndicatorColor
    }

    MouseArea {
        id: nodeMouse
        anchors.fill: box
        acceptedButtons: Qt.LeftButton | Qt.RightButton | Qt.MiddleButton
        hoverEnabled: true
        drag.threshold: 4
        onPressed: {
            drag.target = mouse.button === Qt.LeftButton ? root : null
            root.dragTree = mouse.button === Qt.LeftButton && (mouse.modifiers & Qt.ShiftModifier)
        }
        onReleased: root.dragTree = false
        onClicked: {
            if (mouse.button === Qt.RightButton)
                root.contextMenuRequest()
            else if (mouse.button === Qt.MiddleButton || (mouse.modifiers & Qt.AltModifier))
                root.nodeAlternateClicked()
            else
                root.nodeClicked()
        }
        onDoubleClicked: {
            if (mouse.button === Qt.LeftButton)
                root.nodeDoubleClicked(root.peer !== null ? root.peer.uuid : root.peerUuid)
        }
    }

    states: [
        State { name: "dragTree"; when: root.dragTree; PropertyChanges { target: box; opacity: 0.85 } },
        State { name: "editing" },
        State { name: "selected"; when: root.selected && !root.dragTree }
    ]
}
