import QtQuick 2.12
import QtQuick.Controls 2.12

// An icon button that triggers a shared action; enabled with the action.
Item {
    id: root
    property QtObject qaction: null
    property int iconSize: 32
    property string iconSource: ""
    property alias text: button.text

    implicitWidth: button.implicitWidth
    implicitHeight: button.implicitHeight

    Button {
        id: button
        anchors.fill: parent
        enabled: root.qaction ? root.qaction.enabled : false
        hoverEnabled: true
        padding: 4
        display: root.iconSource.length > 0 ? AbstractButton.IconOnly : AbstractButton.TextOnly
        icon.source: root.iconSource
        icon.width: root.iconSize
        icon.height: root.iconSize
        icon.color: "transparent"
        ToolTip.visible: hovered && text.length > 0
        ToolTip.delay: 1000
        ToolTip.text: text
        onClicked: if (root.qaction) root.qaction.trigger()

        background: Rectangle {
            radius: Theme.controlBorderRadius
            color: button.down ? Theme.controlDown2 : Theme.controlHovered2
            opacity: button.down || button.hovered ? 1 : 0
            Behavior on opacity { NumberAnimation { duration: 120; easing.type: Easing.OutQuad } }
        }
    }
}
