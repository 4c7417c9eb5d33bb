import QtQuick 2.15
import com.orvanti.mirk 1.0

// All known machines; choosing one binds the Filer to it.
Item {
    id: machineList
    property var peer: null

    signal peerSelected(Peer peerObject)
    signal peerPathSelected(Peer peerObject, string path)
    signal openPeerMenuClicked()

    ListView {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 24
        model: typeof peerModel !== "undefined" ? peerModel : null
        delegate: Item {
            width: ListView.view.width
            height: 32
            Text {
                anchors.verticalCenter: parent.verticalCenter
                text: peerObject ? (peerObject.displayName !== "" ? peerObject.displayName : peerObject.name) : ""
                textFormat: Text.PlainText
            }
            MouseArea {
                anchors.fill: parent
                onClicked: machineList.peerSelected(peerObject)
            }
        }
    }
}
