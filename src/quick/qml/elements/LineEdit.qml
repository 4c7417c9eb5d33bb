import QtQuick 2.12
import QtQuick.Controls 2.12

// A labelled single-line input with an optional description below; shows an
// error while showError is true.
FocusScope {
    id: root
    property bool disabled: false
    property bool showError: false
    property alias label: labelText.text
    property alias text: input.text
    property alias echoMode: input.echoMode
    property alias inputMask: input.inputMask
    property alias readOnly: input.readOnly
    property alias validator: input.validator
    property alias acceptableInput: input.acceptableInput
    property alias maximumLength: input.maximumLength
    property alias input: input
    property alias description: descriptionText.text
    signal editingFinished()
    signal textEdited()

    implicitWidth: 240
    implicitHeight: column.implicitHeight

    Column {
        id: column
        width: parent.width
        spacing: 4

        Label {
            id: labelText
            textFormat: Text.PlainText
            color: root.disabled ? Theme.textDisabled : Theme.base
            visible: text !== ""
        }

        Rectangle {
            id: field
            width: parent.width
            height: Theme.lineEditHeight
            radius: 3
            color: root.disabled ? Theme.alternate : Theme.normal
            border.width: input.activeFocus ? Theme.controlBorderWidthFocus : Theme.controlBorderWidth
            border.color: input.activeFocus ? Theme.highlight : Theme.controlDarkShadow

            TextInput {
                id: input
                anchors.fill: parent
                anchors.leftMargin: 12
                anchors.rightMargin: 12
                verticalAlignment: TextInput.AlignVCenter
                focus: true
                clip: true
                readOnly: root.disabled
                selectByMouse: true
                color: root.disabled ? Theme.textDisabled : Theme.base
                selectionColor: Theme.highlight
                selectedTextColor: Theme.normal
                onEditingFinished: root.editingFinished()
                onTextEdited: root.textEdited()
            }
        }

        Label {
            id: descriptionText
            width: parent.width
            textFormat: Text.PlainText
            font.italic: true
            wrapMode: Text.WordWrap
            color: Theme.textDisabled
            visible: text !== ""
        }
    }

    states: [
        State {
            name: "disabled"
            when: root.disabled
        },
        State {
            name: "err"
            when: root.showError
            PropertyChanges { target: field; border.color: Theme.error }
            PropertyChanges { target: descriptionText; color: Theme.error }
        },
        State {
            name: "active"
            when: input.activeFocus
        }
    ]
}
