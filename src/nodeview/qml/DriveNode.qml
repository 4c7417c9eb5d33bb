import QtQuick 2.12
import QtQuick.Shapes 1.12

// A drive of a peer: its icon, name and size in a row, and the curve to the
// node it hangs from.
Item {
    id: root
    objectName: "driveNode"
    z: 1001
    width: box.width
    height: box.height

    property var peer: null
    property var style: Theme.node ? Theme.node.drive0 : null
    property string peerUuid: ""
    property string path: ""
    property string icon: ""
    property string uuid: ""
    property string type: ""
    property string name: ""
    property string peerName: ""
    property string totalSize: ""
    property string driveLetter: ""
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
    property real connectorY: box.height / 2
    property int connectorDirections: 15
    property bool needSafe: false
    property bool indirect: false
    property bool hasChildren: false
    property bool selected: false
    property bool reachable: true
    property bool dragTree: false
    property real dragTreeX: 0
    property real dragTreeY: 0
    property var parentDir: null
    property bool softwareRendering: false
    property color dragIndicatorColor: Theme.highlight
    property real lastX: x
    property real lastY: y

    signal nodeAlternateClicked()
    signal nodeClicked()
    signal contextMenuRequest()
    signal nodeDoubleClicked(string peerUuid, string path)

    onXChanged: parentMoved()
    onYChanged: parentMoved()

    // Follows a move: a node dragged with its subtree takes the nodes that
    // hang from it along.
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
    // The curve is drawn in the coordinates of the page's content.
    function setCurvePos() {
        curve.x = -x
        curve.y = -y
    }

    // The curve to the node this one hangs from, made only while there is
    // one to draw.
    Loader {
        id: curve
        x: -root.x
        y: -root.y
        z: -1
        active: root.parentDir !== null && (root.cx1 !== 0 || root.cy1 !== 0 || root.cx4 !== 0 || root.cy4 !== 0)
        sourceComponent: Shape {
            ShapePath {
                strokeColor: Theme.controlDarkShadow
                strokeWidth: 1.5
                fillColor: "transparent"
                strokeStyle: root.indirect ? ShapePath.DashLine : ShapePath.SolidLine
                dashPattern: [4, 3]
                startX: root.cx1
                startY: root.cy1
                PathCubic {
                    control1X: root.cx2
                    control1Y: root.cy2
                    control2X: root.cx3
                    control2Y: root.cy3
                    x: root.cx4
                    y: root.cy4
                }
            }
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
        width: Math.max(96, content.implicitWidth + 2 * root.pad)
        height: 32
        radius: 4
        color: root.style ? root.style.bg : Theme.background2
        border.width: root.selected ? 2 : 1
        border.color: root.selected ? Theme.highlight : (root.style ? root.style.border : Theme.controlShadow)

        Row {
            id: content
            anchors.verticalCenter: parent.verticalCenter
            x: root.pad
            spacing: 6
            Image {
                id: iconImage
                width: 24
                height: 24
                sourceSize.width: 24
                sourceSize.height: 24
                anchors.verticalCenter: parent.verticalCenter
                source: root.icon !== "" ? root.icon : "image://theme/icon/drive-disk.svg"
            }
            Text {
                id: label
                objectName: "nameLabel"
                anchors.verticalCenter: parent.verticalCenter
                text: root.name
                textFormat: Text.PlainText
                elide: Text.ElideMiddle
                width: Math.min(implicitWidth, 260)
                color: root.style ? root.style.fg : Theme.fg
                font.pointSize: Theme.pointSizeNormal
            }
            Text {
                id: sizeLabel
                objectName: "sizeLabel"
                anchors.verticalCenter: parent.verticalCenter
                visible: text !== ""
                text: root.totalSize
                textFormat: Text.PlainText
                color: Theme.textDisabled
                font.pointSize: Theme.pointSizeSmall
            }
        }
    }

    Text {
        id: info
        objectName: "infoLabel"
        anchors.top: box.bottom
        anchors.topMargin: 2
        anchors.left: box.left
        anchors.leftMargin: 4
        text: root.parentDir === null ? root.peerName : ""
        textFormat: Text.PlainText
        elide: Text.ElideRight
        width: Math.max(box.width, 140)
        color: Theme.textDisabled
        font.pointSize: Theme.pointSizeSmall
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
                root.nodeDoubleClicked(root.peerUuid, root.path)
        }
    }

    states: [
        State { name: "dragTree"; when: root.dragTree; PropertyChanges { target: box; opacity: 0.85 } },
        State { name: "editing" },
        State { name: "selected"; when: root.selected && !root.dragTree }
    ]
}
