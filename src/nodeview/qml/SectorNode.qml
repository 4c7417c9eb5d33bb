import QtQuick 2.12

// The tab of one sector in the strip: a click opens the sector; F2 or
// rename() edits its name in place, Return keeps the new name and Escape
// the old one.
Item {
    id: root
    objectName: "sectorNode"
    z: 1001
    width: box.width
    height: box.height

    property real pad: 14
    property var style: Theme.node ? Theme.node.sector0 : null
    property bool indirect: false
    property bool selected: false
    property bool hasChildren: false
    property real selectTimeRef: 0
    property string path: ""
    property string uuid: ""
    property string sectorUuid: ""
    property string icon: ""
    property string name: ""
    property bool needSafe: false
    property bool softwareRendering: false
    readonly property bool active: sectorUuid !== "" && sectorUuid === activeSectorUuid
    property string nameBeforeEdit: ""
    property string previousState: ""

    signal nodeClicked()
    signal contextMenuRequest()
    signal editStateChanged()

    // Starts editing the name in place.
    function rename() {
        nameBeforeEdit = name
        state = "editing"
    }
    function acceptEdit() {
        if (state !== "editing")
            return
        const text = editor.text.trim()
        if (text !== "" && text !== name) {
            name = text
            needSafe = true
        }
        state = selected ? "selected" : ""
    }
    function cancelEdit() {
        if (state !== "editing")
            return
        name = nameBeforeEdit
        state = selected ? "selected" : ""
    }

    onStateChanged: {
        if (state === "editing") {
            editor.text = name
            editor.forceActiveFocus()
            editor.selectAll()
        } else if (previousState === "editing") {
            previousState = state
            root.editStateChanged()
        }
        previousState = state
    }
    onSelectedChanged: {
        if (state !== "editing")
            state = selected ? "selected" : ""
    }

    Keys.onPressed: {
        if (event.key === Qt.Key_F2 && state !== "editing") {
            rename()
            event.accepted = true
        }
    }

    Rectangle {
        id: box
        width: Math.max(96, label.implicitWidth + 2 * root.pad)
        height: 28
        radius: 4
        color: root.active ? Theme.highlight : (root.style ? root.style.bg : Theme.background2)
        border.width: root.selected || root.activeFocus ? 2 : 1
        border.color: root.selected || root.activeFocus ? Theme.highlight : (root.style ? root.style.border : Theme.controlShadow)

        Text {
            id: label
            objectName: "nameLabel"
            anchors.centerIn: parent
            text: root.name
            textFormat: Text.PlainText
            elide: Text.ElideRight
            width: Math.min(implicitWidth, 240)
            color: root.active ? "#ffffff" : (root.style ? root.style.fg : Theme.fg)
            font.pointSize: Theme.pointSizeNormal
        }

        TextInput {
            id: editor
            objectName: "nameEditor"
            visible: false
            anchors.fill: parent
            anchors.leftMargin: 6
            anchors.rightMargin: 6
            verticalAlignment: TextInput.AlignVCenter
            clip: true
            selectByMouse: true
            color: Theme.fg
            font.pointSize: Theme.pointSizeNormal
            Keys.onReturnPressed: root.acceptEdit()
            Keys.onEnterPressed: root.acceptEdit()
            Keys.onEscapePressed: root.cancelEdit()
            onActiveFocusChanged: {
                if (!activeFocus && root.state === "editing")
                    root.acceptEdit()
            }
        }
    }

    MouseArea {
        anchors.fill: box
        enabled: root.state !== "editing"
        acceptedButtons: Qt.LeftButton | Qt.RightButton
        onClicked: {
            root.forceActiveFocus()
            if (mouse.button === Qt.RightButton)
                root.contextMenuRequest()
            else
                root.nodeClicked()
        }
        onDoubleClicked: {
            if (mouse.button === Qt.LeftButton)
                root.rename()
        }
    }

    states: [
        State {
            name: "editing"
            PropertyChanges { target: label; visible: false }
            PropertyChanges { target: editor; visible: true }
            PropertyChanges { target: box; color: Theme.background2 }
        },
        State { name: "selected" }
    ]
}
