import QtQuick 2.12
import QtQuick.Controls 2.12

// A flat button that looks like a link. Return and Enter click it.
Button {
    id: control
    flat: true
    hoverEnabled: true
    font.pointSize: Theme.pointSizeMedium
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    contentItem: Label {
        text: control.text
        textFormat: Text.PlainText
        font.pointSize: control.font.pointSize
        font.underline: control.visualFocus
        color: control.enabled ? Theme.link : Theme.textDisabled
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }

    background: Rectangle {
        implicitWidth: 40
        implicitHeight: 24
        radius: Theme.controlBorderRadius
        color: control.down ? Theme.controlDown2 : Theme.controlHovered2
        opacity: control.hovered || control.down ? 1 : 0
    }
}
