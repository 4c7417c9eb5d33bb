import QtQuick 2.12
import QtQuick.Controls 2.12

// One shortcut on the breadcrumb bar's shelf: an icon with an optional label
// beside it and a delayed tooltip. It is a drag source; the host gives the
// MIME data through the attached Drag of this item.
Item {
    id: root
    property alias iconSource: image.source
    property alias tooltip: tip.text
    property alias label: labelText.text
    property int __pad: 2
    property bool highlighted: false
    signal clicked()

    implicitWidth: content.implicitWidth + 4 * __pad
    implicitHeight: Math.max(32, content.implicitHeight) + 2 * __pad

    Drag.dragType: Drag.Automatic
    Drag.supportedActions: Qt.CopyAction
    Drag.active: mouse.drag.active
    Drag.hotSpot.x: 16
    Drag.hotSpot.y: 16
    Drag.imageSource: image.source

    Rectangle {
        anchors.fill: parent
        radius: Theme.controlBorderRadius
        color: root.highlighted ? Theme.controlChecked : Theme.controlHovered2
        visible: mouse.containsMouse || root.highlighted
    }

    Row {
        id: content
        anchors.centerIn: parent
        spacing: 8
        Image {
            id: image
            width: 32
            height: 32
            sourceSize.width: 32
            sourceSize.height: 32
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            id: labelText
            visible: text.length > 0
            textFormat: Text.PlainText
            elide: Text.ElideMiddle
            width: Math.min(implicitWidth, 180)
            color: Theme.base
            font.pointSize: Theme.pointSizeNormal
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    // Moves with the pointer along the x axis while a drag is on.
    Item { id: dragProxy; width: 10; height: 10 }

    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: Qt.PointingHandCursor
        drag.target: dragProxy
        drag.axis: Drag.XAxis
        onClicked: root.clicked()
        onReleased: dragProxy.x = 0
    }

    ToolTip {
        id: tip
        visible: mouse.containsMouse && text.length > 0
        delay: 1000
    }
}
