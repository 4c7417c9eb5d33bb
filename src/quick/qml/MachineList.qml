import QtQuick 2.12
import QtQuick.Layouts 1.12
import com.orvanti.mirk 1.0

// The machine list page: every known peer, the own machine included, with
// a notice above while networking is off. Tab gives it the focus, the arrow
// keys move, Enter chooses.
Item {
    id: machineList
    property var peer: null
    signal peerSelected(Peer peerObject)
    signal peerPathSelected(Peer peerObject, string path)
    signal openPeerMenuClicked()

    Layout.maximumWidth: 300
    implicitWidth: 300
    implicitHeight: 480

    Rectangle {
        anchors.fill: parent
        color: Theme.background2
    }

    MachineListSettings {
        id: settings
        anchors.top: parent.top
        anchors.left: parent.left
        anchors.right: parent.right
    }

    ListView {
        id: list
        objectName: "machineListView"
        anchors.top: settings.bottom
        anchors.topMargin: Theme.windowPadding
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        anchors.leftMargin: Theme.windowPadding
        anchors.rightMargin: Theme.windowPadding
        spacing: 24
        clip: true
        focus: true
        activeFocusOnTab: true
        keyNavigationEnabled: true
        currentIndex: -1
        model: peerModel
        delegate: MachineItem {
            width: list.width
            peer: peerObject
            onPeerSelected: machineList.peerSelected(peerObject)
            onPeerPathSelected: machineList.peerPathSelected(peerObject, path)
        }
        onActiveFocusChanged: if (activeFocus && currentIndex < 0 && count > 0) currentIndex = 0
        Keys.onReturnPressed: choose()
        Keys.onEnterPressed: choose()
        function choose() {
            if (currentItem && currentItem.peer)
                machineList.peerSelected(currentItem.peer)
        }
    }
}
