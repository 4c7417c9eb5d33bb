import QtQuick 2.12

// The notice above the machine list while networking is switched off.
Rectangle {
    id: notice
    objectName: "machineListSettings"
    visible: !mainWindow.networkEnabled
    height: visible ? 96 : 0
    color: Qt.darker(Theme.background2, 1.04)

    Rectangle { anchors.top: parent.top; width: parent.width; height: 1; color: Theme.frameBorder }
    Rectangle { anchors.bottom: parent.bottom; width: parent.width; height: 1; color: Theme.frameBorder }

    Text {
        objectName: "offlineHint"
        anchors.fill: parent
        anchors.leftMargin: 24
        anchors.rightMargin: 24
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        wrapMode: Text.WordWrap
        textFormat: Text.PlainText
        color: Theme.text2
        font.pointSize: Theme.pointSizeNormal
        text: qsTrId("network-hint-offlinemode")
    }
}
