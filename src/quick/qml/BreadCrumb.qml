import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQml.StateMachine 1.0 as DSM
import Qt.labs.platform 1.1 as Platform
import com.orvanti.mirk 1.0
import "elements"

// The navigation bar above a Filer's pages: the shelf of shortcuts (home,
// machine list, peer page, the peer's drives), back and up, the path as
// crumbs or as a text field, the networking switch and the view buttons.
// It reports the user's choices by signals; the Filer tells it the page
// (filesViewActivated, peerViewActivated, machineListActivated) and the path
// (pathList, fullPath, then setPath).
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
    property Filer filer: null
    property Peer peer: null
    property QtObject togglePeerViewAction: null

    // Which page the bar stands for: "files", "pathedit", "peerview" or
    // "machinelist" (follows the state machine).
    readonly property string page: stateFiles.active ? "files"
                                 : statePathEdit.active ? "pathedit"
                                 : statePeerView.active ? "peerview"
                                 : stateMachineList.active ? "machinelist" : ""
    readonly property bool networkEnabled: mainWindow.networkEnabled

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

    signal filesViewActivated()
    signal pathEditActivated()
    signal peerViewActivated()
    signal machineListActivated()

    implicitHeight: column.implicitHeight
    implicitWidth: 640

    // Called by the Filer after it has set pathList and fullPath.
    function setPath(list) {
        if (list !== undefined && list !== null)
            pathList = list
        crumbs.initCrumbLayout()
    }

    // Opens the path field (Ctrl+L, or a click beside the crumbs).
    function editPath() {
        if (stateFiles.active)
            pathEditActivated()
    }

    function crumbText(i) {
        var shown = displayPathList && i < displayPathList.length ? displayPathList[i] : undefined
        if (shown !== undefined && shown !== null && String(shown).length > 0)
            return String(shown)
        var part = String(pathList[i])
        return part.length > 0 ? part : dirSep
    }

    Shortcut {
        sequence: "Ctrl+L"
        onActivated: root.editPath()
    }

    DSM.StateMachine {
        id: machine
        running: true
        initialState: stateBar

        DSM.State {
            id: stateBar
            initialState: stateFiles

            DSM.SignalTransition { targetState: stateFiles; signal: root.filesViewActivated }
            DSM.SignalTransition { targetState: statePeerView; signal: root.peerViewActivated }
            DSM.SignalTransition { targetState: stateMachineList; signal: root.machineListActivated }

            DSM.State {
                id: stateFiles
                objectName: "stateFiles"
                DSM.SignalTransition { targetState: statePathEdit; signal: root.pathEditActivated }
            }
            DSM.State {
                id: statePathEdit
                objectName: "statePathEdit"
                onEntered: {
                    pathField.text = root.fullPath
                    pathField.forceActiveFocus()
                    pathField.selectAll()
                }
                DSM.SignalTransition { targetState: stateFiles; signal: pathField.closed }
            }
            DSM.State { id: statePeerView; objectName: "statePeerView" }
            DSM.State { id: stateMachineList; objectName: "stateMachineList" }
        }
    }

    Rectangle {
        anchors.fill: parent
        gradient: Gradient {
            GradientStop { position: 0.0; color: "#ffffff" }
            GradientStop { position: 1.0; color: "#e6e6e6" }
        }
    }

    Column {
        id: column
        width: parent.width

        // ---- shelf
        Rectangle {
            width: parent.width
            height: shelf.implicitHeight + 16
            color: "#f0f0f0"

            Row {
                id: shelf
                anchors.left: parent.left
                anchors.leftMargin: 20
                anchors.right: optional.left
                anchors.rightMargin: 4
                anchors.verticalCenter: parent.verticalCenter
                spacing: 8

                BreadCrumbShelfItem {
                    id: homeItem
                    objectName: "homeItem"
                    iconSource: "image://theme/icon/dev-local.svg"
                    tooltip: qsTrId("place-home")
                    Drag.mimeData: { "text/uri-list": Platform.StandardPaths.writableLocation(
                                                          Platform.StandardPaths.HomeLocation).toString() }
                    onClicked: root.homeClicked()
                }
                BreadCrumbShelfItem {
                    id: networkItem
                    objectName: "networkItem"
                    iconSource: root.networkEnabled ? "image://theme/icon/machine-list.svg"
                                                    : "image://theme/icon/machine-list-offline.svg"
                    tooltip: qsTrId("place-network")
                    highlighted: stateMachineList.active
                    onClicked: root.machineListClicked()
                }
                BreadCrumbShelfItem {
                    id: peerItem
                    objectName: "peerItem"
                    visible: root.peer ? true : false
                    iconSource: root.peer && root.peer.icon.length > 0
                                ? "image://theme/icon/" + root.peer.icon + ".svg"
                                : "image://theme/icon/dev-desktop.svg"
                    label: root.peer ? (root.peer.displayName.length > 0 ? root.peer.displayName : root.peer.name) : ""
                    tooltip: qsTrId("place-peer-overview")
                    highlighted: statePeerView.active
                    Drag.mimeData: { "application/velm-peer-uuid": root.peer ? root.peer.uuid : "" }
                    onClicked: root.peerClicked()
                }
                Flow {
                    id: drives
                    objectName: "drives"
                    spacing: 1
                    width: Math.max(0, shelf.width - x)
                    anchors.verticalCenter: parent.verticalCenter
                    Repeater {
                        id: driveRepeater
                        model: root.peer ? root.peer.vfsDriveModel : null
                        delegate: BreadCrumbShelfItem {
                            objectName: "drive_" + index
                            iconSource: "image://theme/" + vfsDriveIconName
                            label: vfsDriveShortName
                            tooltip: vfsDrivePath
                            property string drivePath: vfsDrivePath
                            Drag.mimeData: {
                                "application/velm-breadcrumb": vfsDrivePath,
                                "application/velm-peer-uuid": root.peer ? root.peer.uuid : ""
                            }
                            onClicked: root.driveClicked(vfsDrivePath)
                        }
                    }
                }
            }

            Row {
                id: optional
                anchors.right: parent.right
                anchors.rightMargin: 8
                anchors.verticalCenter: parent.verticalCenter
                spacing: 4
                FileActionItem {
                    id: newWindowButton
                    objectName: "newWindowButton"
                    visible: root.showCreateNewWindowButton
                    width: 36
                    height: 36
                    qaction: filerNewWindowAction
                    iconSource: "image://theme/icon/extra-window.svg"
                    iconSize: 24
                    text: qsTrId("action-new-window")
                }
                FileActionItem {
                    id: nodeViewButton
                    objectName: "nodeViewButton"
                    visible: root.showToggleNodeViewButton
                    width: 40
                    height: 40
                    qaction: filerShowNodeViewAction
                    iconSource: "image://theme/icon/nodeview.svg"
                    iconSize: 32
                    text: qsTrId("action-show-nodeview")
                }
            }
        }

        // ---- navigation
        Rectangle {
            width: parent.width
            height: 48 + 2 * 8
            color: "#e3e3e3"

            Row {
                id: navigation
                anchors.fill: parent
                anchors.margins: 8
                anchors.leftMargin: 16
                anchors.rightMargin: 16
                spacing: 8

                Row {
                    spacing: 0
                    anchors.verticalCenter: parent.verticalCenter
                    ExtButton2 {
                        id: backButton
                        objectName: "backButton"
                        text: "\u2190"
                        width: 36
                        height: 32
                        topLeftCorner: true
                        bottomLeftCorner: true
                        ToolTip.visible: hovered
                        ToolTip.delay: 1000
                        ToolTip.text: qsTranslate("QFileDialog", "Back")
                        onClicked: root.backClicked()
                    }
                    ExtButton2 {
                        id: upButton
                        objectName: "upButton"
                        text: "\u2191"
                        width: 36
                        height: 32
                        topRightCorner: true
                        bottomRightCorner: true
                        ToolTip.visible: hovered
                        ToolTip.delay: 1000
                        ToolTip.text: qsTranslate("QFileDialog", "Parent Directory")
                        onClicked: root.upClicked()
                    }
                }

                // The path: crumbs, or the text field while it is edited.
                Rectangle {
                    id: pathArea
                    objectName: "pathArea"
                    width: navigation.width - x - rightTools.width - navigation.spacing
                    height: 36
                    anchors.verticalCenter: parent.verticalCenter
                    radius: Theme.controlBorderRadius
                    color: "#f0f0f0"
                    border.width: Theme.controlBorderWidth
                    border.color: statePathEdit.active ? Theme.highlight : Theme.controlShadow

                    MouseArea {
                        // A click beside the crumbs opens the text field.
                        anchors.fill: parent
                        enabled: stateFiles.active
                        onClicked: root.editPath()
                    }

                    ListView {
                        id: crumbs
                        objectName: "crumbs"
                        anchors.fill: parent
                        anchors.leftMargin: 16
                        anchors.rightMargin: 16
                        visible: !statePathEdit.active
                        orientation: ListView.Horizontal
                        spacing: 0
                        clip: true
                        interactive: root.crumbInteractive
                        model: root.pathList ? root.pathList.length : 0
                        width: Math.min(contentWidth, parent.width - 32)

                        function getPath(index) {
                            var parts = []
                            for (var i = 0; i <= index && i < root.pathList.length; ++i)
                                parts.push(String(root.pathList[i]))
                            return parts.join(root.dirSep).replace(/\/\/+/g, "/")
                        }
                        function initCrumbLayout() {
                            fadeIn.restart()
                            positionViewAtEnd()
                        }
                        onCountChanged: positionViewAtEnd()
                        onWidthChanged: positionViewAtEnd()
                        NumberAnimation { id: fadeIn; target: crumbs; property: "opacity"; from: 0.4; to: 1; duration: 150; easing.type: Easing.OutQuad }

                        delegate: Item {
                            id: crumb
                            objectName: "crumb_" + index
                            height: crumbs.height
                            width: crumbRow.implicitWidth + 2 * root.crumbPadding
                            property string crumbPath: crumbs.getPath(index)

                            Drag.dragType: Drag.Automatic
                            Drag.supportedActions: Qt.CopyAction
                            Drag.active: crumbMouse.drag.active
                            Drag.mimeData: {
                                "application/velm-breadcrumb": crumb.crumbPath,
                                "application/velm-peer-uuid": root.peer ? root.peer.uuid : ""
                            }

                            Rectangle {
                                anchors.fill: parent
                                anchors.margins: 3
                                radius: Theme.controlBorderRadius
                                color: Theme.controlHovered2
                                visible: crumbMouse.containsMouse
                            }
                            Row {
                                id: crumbRow
                                anchors.centerIn: parent
                                spacing: 6
                                Text {
                                    text: root.crumbText(index)
                                    textFormat: Text.PlainText
                                    color: Theme.base
                                    font.pointSize: Theme.pointSizeNormal
                                    font.bold: index === crumbs.count - 1
                                }
                                Text {
                                    text: "\u203a"
                                    visible: index < crumbs.count - 1
                                    color: Theme.textDisabled
                                    font.pointSize: Theme.pointSizeNormal
                                }
                            }
                            Item { id: crumbProxy; width: 10; height: 10 }
                            MouseArea {
                                id: crumbMouse
                                anchors.fill: parent
                                hoverEnabled: true
                                cursorShape: Qt.PointingHandCursor
                                drag.target: crumbProxy
                                drag.axis: Drag.XAxis
                                onClicked: root.indexClicked(index)
                                onReleased: crumbProxy.x = 0
                            }
                        }
                    }

                    TextField {
                        id: pathField
                        objectName: "pathField"
                        signal closed()
                        anchors.fill: parent
                        anchors.margins: 1
                        visible: statePathEdit.active
                        selectByMouse: true
                        background: Item {}
                        font.pointSize: Theme.pointSizeNormal
                        onAccepted: {
                            var typed = text
                            closed()
                            root.pathEdited(typed)
                        }
                        Keys.onEscapePressed: closed()
                        onActiveFocusChanged: if (!activeFocus && statePathEdit.active) closed()
                    }
                }

                Row {
                    id: rightTools
                    spacing: 8
                    anchors.verticalCenter: parent.verticalCenter

                    Switch {
                        id: networkSwitch
                        objectName: "networkSwitch"
                        text: "online"
                        checked: mainWindow.networkEnabled
                        anchors.verticalCenter: parent.verticalCenter
                        ToolTip.visible: hovered
                        ToolTip.delay: 1000
                        ToolTip.text: qsTrId("breadcrump-online-tooltip")
                        onToggled: mainWindow.networkEnabled = checked
                        Connections {
                            target: mainWindow
                            function onNetworkEnabledChanged() { networkSwitch.checked = mainWindow.networkEnabled }
                        }
                    }
                    ExtButton2 {
                        id: columnsButton
                        objectName: "columnsButton"
                        width: 32
                        height: 32
                        padding: 0
                        leftPadding: 0
                        rightPadding: 0
                        checkable: true
                        checked: (root.filer ? true : false) && root.filer.viewMode === Filer.ViewColumns
                        topLeftCorner: true; topRightCorner: true; bottomLeftCorner: true; bottomRightCorner: true
                        contentItem: Image {
                            source: "image://theme/icon/view-columns.svg"
                            sourceSize.width: 24
                            sourceSize.height: 24
                            fillMode: Image.Pad
                        }
                        ToolTip.visible: hovered
                        ToolTip.delay: 1000
                        ToolTip.text: qsTrId("action-column-view")
                        onClicked: {
                            checked = Qt.binding(function() { return (root.filer ? true : false) && root.filer.viewMode === Filer.ViewColumns })
                            root.columModeClicked()
                        }
                    }
                    ExtButton2 {
                        id: iconsButton
                        objectName: "iconsButton"
                        width: 32
                        height: 32
                        padding: 0
                        leftPadding: 0
                        rightPadding: 0
                        checkable: true
                        checked: (root.filer ? true : false) && root.filer.viewMode === Filer.ViewIcons
                        topLeftCorner: true; topRightCorner: true; bottomLeftCorner: true; bottomRightCorner: true
                        contentItem: Image {
                            source: "image://theme/icon/view-icons.svg"
                            sourceSize.width: 24
                            sourceSize.height: 24
                            fillMode: Image.Pad
                        }
                        ToolTip.visible: hovered
                        ToolTip.delay: 1000
                        ToolTip.text: qsTrId("action-icon-view")
                        onClicked: {
                            checked = Qt.binding(function() { return (root.filer ? true : false) && root.filer.viewMode === Filer.ViewIcons })
                            root.iconModeClicked()
                        }
                    }
                }
            }
        }
    }
}
