import QtQuick 2.12

// One sector page: a large scrollable area that holds the sector's nodes.
Flickable {
    id: root
    property string name: ""
    signal clickedEmptySpace()
    signal contextMenuRequest()

    contentX: 1024
    contentY: 1024
    contentWidth: 2048
    contentHeight: 2048
    maximumFlickVelocity: 800
    boundsBehavior: Flickable.StopAtBounds
    clip: true

    DropArea {
        anchors.fill: parent
        // The drop itself is the view's (it reads the drag's data).
        onDropped: drop.accepted = false
    }

    MouseArea {
        id: mouse
        anchors.fill: parent
        acceptedButtons: Qt.AllButtons
        property real pressX: 0
        property real pressY: 0
        // How far a press may move and still count as a click.
        readonly property real slop: 4

        onPressed: {
            pressX = mouse.x
            pressY = mouse.y
            if (mouse.button === Qt.RightButton)
                mouse.accepted = true
        }
        onReleased: {
            const still = Math.abs(mouse.x - pressX) <= slop && Math.abs(mouse.y - pressY) <= slop
            if (!still)
                return
            if (mouse.button === Qt.LeftButton)
                root.clickedEmptySpace()
            else if (mouse.button === Qt.RightButton)
                root.contextMenuRequest()
        }
    }
}
