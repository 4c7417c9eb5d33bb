import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Window 2.12
import com.orvanti.mirk 1.0

// The icon picker of the node being customised: a click on an icon gives it
// to the node, "No icon" takes the node's icon away.
Window {
    id: root
    title: qsTrId("dlg-customize-node-title")
    width: 600
    height: 400
    visible: false
    color: Theme.background

    property var node: null

    function setNodeIcon(path) {
        if (!root.node)
            return
        root.node.icon = path
        root.node.needSafe = true
    }

    Page {
        anchors.fill: parent
        header: ToolBar {
            Row {
                anchors.fill: parent
                ToolButton {
                    objectName: "noIconButton"
                    text: qsTrId("dlg-customize-node-no-icon")
                    enabled: root.node !== null
                    onClicked: root.setNodeIcon("")
                }
                Item {
                    width: 1
                    height: 1
                }
            }
        }

        Item {
            anchors.fill: parent
            anchors.margins: 16

            Label {
                id: iconsLabel
                text: qsTrId("dlg-customize-node-label-icons")
                textFormat: Text.PlainText
            }

            GridView {
                id: iconGrid
                objectName: "iconGrid"
                anchors.top: iconsLabel.bottom
                anchors.topMargin: 8
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                clip: true
                cellWidth: 40
                cellHeight: 40
                model: IconListModel {}
                delegate: Item {
                    width: 40
                    height: 40
                    Image {
                        anchors.centerIn: parent
                        width: 32
                        height: 32
                        sourceSize.width: 32
                        sourceSize.height: 32
                        source: model.path
                    }
                }
                MouseArea {
                    anchors.fill: parent
                    onClicked: {
                        const index = iconGrid.indexAt(mouse.x + iconGrid.contentX, mouse.y + iconGrid.contentY)
                        if (index < 0)
                            return
                        root.setNodeIcon(iconGrid.model.data(iconGrid.model.index(index, 0), 257))
                    }
                }
            }
        }
    }
}
