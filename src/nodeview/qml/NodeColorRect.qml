import QtQuick 2.12

// One style swatch of the selector.
Rectangle {
    id: root
    property var style: null
    width: Theme.pixelSizeNormal
    height: Theme.pixelSizeNormal
    radius: 2
    color: style ? style.bg : "transparent"
    border.width: 1
    border.color: style ? style.border : Theme.controlShadow

    MouseArea {
        anchors.fill: parent
        onClicked: {
            if (root.parent && root.parent.styleClicked)
                root.parent.styleClicked(root.style)
        }
    }
}
