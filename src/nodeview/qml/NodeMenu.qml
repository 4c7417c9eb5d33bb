import QtQuick 2.12

// The small handle of a node: shows while the node is hovered or selected.
Item {
    id: root
    width: 20
    height: 20
    opacity: 0
    property bool active: false
    property color indicatorColor: Theme.highlight

    Rectangle {
        id: dragIndicator
        objectName: "dragIndicator"
        anchors.centerIn: parent
        width: 8
        height: 8
        radius: 4
        color: root.indicatorColor
    }

    states: State {
        name: "active"
        when: root.active
        PropertyChanges { target: root; opacity: 1 }
    }
    transitions: [
        Transition { from: ""; to: "active"; NumberAnimation { property: "opacity"; duration: 100 } },
        Transition { from: "active"; to: ""; NumberAnimation { property: "opacity"; duration: 100 } }
    ]
}
