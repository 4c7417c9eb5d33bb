import QtQuick 2.15

// The bar above a Filer's pages: shortcuts, back and up, the path as
// crumbs, and the view buttons.
Item {
    id: root
    property bool activeFiler: false
    property int curIndex: -1
    property int nextIndex: -1
    property int crumbPadding: 8
    property bool crumbInteractive: false
    property bool showCreateNewWindowButton: false
    property bool showToggleNodeViewButton: false
    property real buttonBgOpacity: 0.3
    property string dirSep: "/"
    property string pathRoot: ""
    property string fullPath: ""
    property var pathList: []
    property var displayPathList: []
    property var filer: null
    property var peer: null
    property QtObject togglePeerViewAction: null

    signal indexClicked(int index)
    signal driveClicked(string path)
    signal pathEdited(string path)
    signal peerClicked()
    signal backToFilesClicked()
    signal upClicked()
    signal backClicked()
    signal forwardClicked()
    signal machineListClicked()
    signal homeClicked()
    signal columModeClicked()
    signal iconModeClicked()
    signal peerViewActivated()
    signal machineListActivated()
    signal filesViewActivated()
    signal pathEditActivated()

    function setPath(list) {
        displayPathList = list ? list : []
    }

    width: 400
    implicitHeight: 48

    Rectangle {
        anchors.fill: parent
        gradient: Gradient {
            GradientStop { position: 0.0; color: "#ffffff" }
            GradientStop { position: 1.0; color: "#e6e6e6" }
        }
    }

    component BarButton: Rectangle {
        id: button
        property string label
        property bool checked: false
        signal clicked()
        width: Math.max(32, caption.implicitWidth + 16)
        height: 32
        radius: 4
        color: area.pressed ? "#c8c8c8" : (checked ? "#d4d4d4" : (area.containsMouse ? "#e3e3e3" : "transparent"))
        Text {
            id: caption
            anchors.centerIn: parent
            text: button.label
            textFormat: Text.PlainText
        }
        MouseArea {
            id: area
            anchors.fill: parent
            hoverEnabled: true
            onClicked: button.clicked()
        }
    }

    Row {
        id: bar
        anchors.verticalCenter: parent.verticalCenter
        x: 8
        spacing: 4
        BarButton { label: "\u2302"; onClicked: root.homeClicked() }
        BarButton {
            label: root.peer ? (root.peer.displayName !== "" ? root.peer.displayName : root.peer.name) : ""
            visible: label !== ""
            onClicked: root.peerClicked()
        }
        BarButton { label: "\u2190"; onClicked: root.backClicked() }
        BarButton { label: "\u2191"; onClicked: root.upClicked() }
        Repeater {
            model: root.displayPathList
            BarButton {
                label: modelData
                onClicked: root.indexClicked(index)
            }
        }
    }

    Row {
        anchors.right: parent.right
        anchors.rightMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        spacing: 4
        BarButton {
            label: "\u2630"
            checked: root.filer !== null && root.filer.viewMode === 1
            onClicked: root.columModeClicked()
        }
        BarButton {
            label: "\u25a6"
            checked: root.filer !== null && root.filer.viewMode === 2
            onClicked: root.iconModeClicked()
        }
    }
}
