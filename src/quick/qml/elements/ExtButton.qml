import QtQuick 2.12
import QtQuick.Controls 2.12

// A push button in the theme's colours. Return and Enter click it.
Button {
    id: control
    hoverEnabled: true
    leftPadding: 12
    rightPadding: 12
    topPadding: 8
    bottomPadding: 8
    Keys.onReturnPressed: clicked()
    Keys.onEnterPressed: clicked()

    contentItem: Label {
        text: control.text
        textFormat: Text.PlainText
        font: control.font
        color: control.enabled ? Theme.base : Theme.textDisabled
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Rectangle {
        visible: !control.flat
        implicitWidth: 80
        implicitHeight: 28
        radius: Theme.controlBorderRadius
        color: control.down ? Theme.controlDown2 : (control.hovered ? Theme.controlHovered2 : Theme.control)
        border.width: control.activeFocus ? Theme.controlBorderWidthFocus : Theme.controlBorderWidth
        border.color: control.activeFocus ? Theme.highlight : Theme.controlDarkShadow
    }
}
