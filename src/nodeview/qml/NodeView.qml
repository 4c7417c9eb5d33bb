import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12

// The whole node view: the sector pages in a stack, the strip of sector
// nodes above them, the button that shows the files on the right hand side
// and the row of style swatches.
Item {
    id: root
    width: 100
    height: 100

    Rectangle {
        anchors.fill: parent
        color: Theme.background2
    }

    StackLayout {
        id: sectorStack
        objectName: "sectorStack"
        anchors.fill: parent
    }

    SectorView {
        id: sectorView
        objectName: "sectorView"
        anchors.fill: parent
    }

    // Shows the files on the right hand side (the shared action).
    Item {
        id: altFilerButton
        objectName: "altFilerButton"
        property var qaction: filerShowAlternateFilerAction
        property string text: qsTrId("action-show-alt-filer")
        property string iconSource: "image://theme/icon/alt-filerpane.svg"
        property int iconSize: 32
        anchors.top: parent.top
        anchors.right: parent.right
        anchors.topMargin: 8
        anchors.rightMargin: 12
        width: iconSize + 12
        height: iconSize + 12
        z: 2000

        Rectangle {
            anchors.fill: parent
            radius: Theme.controlBorderRadius
            color: altFilerMouse.pressed ? Theme.controlDown2 : Theme.controlHovered2
            opacity: altFilerMouse.containsMouse || altFilerMouse.pressed ? 1 : 0
            Behavior on opacity { NumberAnimation { duration: 120; easing.type: Easing.OutQuad } }
        }
        Image {
            anchors.centerIn: parent
            width: altFilerButton.iconSize
            height: altFilerButton.iconSize
            sourceSize.width: altFilerButton.iconSize
            sourceSize.height: altFilerButton.iconSize
            source: altFilerButton.iconSource
        }
        MouseArea {
            id: altFilerMouse
            anchors.fill: parent
            hoverEnabled: true
            enabled: altFilerButton.qaction ? altFilerButton.qaction.enabled : false
            onClicked: altFilerButton.qaction.trigger()
        }
        ToolTip.visible: altFilerMouse.containsMouse
        ToolTip.delay: 800
        ToolTip.text: altFilerButton.text
    }

    NodeColorSelector {
        id: colorSelector
        anchors.bottom: parent.bottom
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.bottomMargin: 8
        z: 2000
    }
}
