import QtQuick 2.12
import QtQuick.Controls 2.12

// A check box with a round indicator in the theme's text colour.
CheckBox {
    id: control

    indicator: Rectangle {
        implicitWidth: 16
        implicitHeight: 16
        x: control.leftPadding
        y: parent.height / 2 - height / 2
        radius: 8
        color: "transparent"
        border.width: control.visualFocus ? Theme.controlBorderWidthFocus : 1
        border.color: control.visualFocus ? Theme.highlight : Theme.base

        Rectangle {
            x: 2
            y: 2
            width: 12
            height: 12
            radius: 6
            color: Theme.base
            visible: control.checked
        }
    }

    contentItem: Label {
        text: control.text
        textFormat: Text.PlainText
        font: control.font
        color: control.enabled ? Theme.base : Theme.textDisabled
        verticalAlignment: Text.AlignVCenter
        leftPadding: control.indicator.width + control.spacing
    }
}
