import QtQuick 2.12
import QtQml.Models 2.12
import com.orvanti.mirk 1.0

// The items a peer shares with this machine: the children of "%shares" in
// the peer's file model. A click opens a share; a row drags as the share's
// path with the peer's uuid.
Item {
    id: root
    property var vfsModel: null
    property string peerUuid: ""
    readonly property int itemHeight: 40
    property alias count: list.count
    property alias currentIndex: list.currentIndex
    signal pathClicked(string peerUuid, string path)

    implicitWidth: 480
    implicitHeight: list.count > 0 ? list.contentHeight : 0
    activeFocusOnTab: true
    onActiveFocusChanged: if (activeFocus) list.forceActiveFocus()

    function refreshRoot() {
        if (!vfsModel) {
            shares.rootIndex = shares.parentModelIndex()
            return
        }
        var index = vfsModel.indexForPath("%shares")
        shares.rootIndex = index
        if (vfsModel.canFetchMore(index))
            vfsModel.fetchMore(index)
    }
    onVfsModelChanged: refreshRoot()
    Component.onCompleted: refreshRoot()
    Connections {
        target: root.vfsModel ? root.vfsModel : null
        ignoreUnknownSignals: true
        function onModelReset() { root.refreshRoot() }
    }

    DelegateModel {
        id: shares
        model: root.vfsModel
        delegate: Item {
            id: shareRow
            objectName: "shareRow_" + index
            width: list.width
            height: root.itemHeight
            property string sharePath: path
            property bool writable: (info & VfsModel.WriteUser) !== 0
            property bool readable: (info & VfsModel.ReadUser) !== 0

            Drag.dragType: Drag.Automatic
            Drag.supportedActions: Qt.CopyAction
            Drag.active: mouse.drag.active
            Drag.mimeData: { "application/velm-breadcrumb": path, "application/velm-peer-uuid": root.peerUuid }

            Rectangle {
                anchors.fill: parent
                anchors.margins: -4
                radius: Theme.controlBorderRadius
                color: mouse.containsMouse ? Theme.controlHovered2 : Theme.transparent
                border.width: shareRow.ListView.isCurrentItem && list.activeFocus ? Theme.controlBorderWidthFocus : 0
                border.color: Theme.highlight
            }
            Row {
                anchors.left: parent.left
                anchors.verticalCenter: parent.verticalCenter
                spacing: 20
                Image {
                    source: icon
                    width: 32
                    height: 32
                    sourceSize.width: 32
                    sourceSize.height: 32
                }
                Text {
                    anchors.verticalCenter: parent.verticalCenter
                    text: name
                    textFormat: Text.PlainText
                    elide: Text.ElideMiddle
                    width: Math.max(200, Math.min(implicitWidth, shareRow.width - 32 - 20 - 20 - accessText.implicitWidth))
                    color: Theme.base
                    font.pointSize: Theme.pointSizeNormal
                }
            }
            Text {
                id: accessText
                anchors.right: parent.right
                anchors.verticalCenter: parent.verticalCenter
                text: shareRow.writable ? qsTrId("acl-read-write") : shareRow.readable ? qsTrId("acl-read-only") : ""
                textFormat: Text.PlainText
                color: Theme.text2
                font.pointSize: Theme.pointSizeNormal
            }
            Item { id: dragProxy; width: 10; height: 10 }
            MouseArea {
                id: mouse
                anchors.fill: parent
                hoverEnabled: true
                cursorShape: Qt.PointingHandCursor
                drag.target: dragProxy
                drag.axis: Drag.XAxis
                onClicked: root.pathClicked(root.peerUuid, path)
                onReleased: dragProxy.x = 0
            }
        }
    }

    ListView {
        id: list
        objectName: "sharesListView"
        anchors.fill: parent
        interactive: false
        spacing: 8
        model: shares
        keyNavigationEnabled: true
        currentIndex: -1
        onActiveFocusChanged: if (activeFocus && currentIndex < 0 && count > 0) currentIndex = 0
        Keys.onReturnPressed: if (currentItem) root.pathClicked(root.peerUuid, currentItem.sharePath)
        Keys.onEnterPressed: if (currentItem) root.pathClicked(root.peerUuid, currentItem.sharePath)
    }
}
