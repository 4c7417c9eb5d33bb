import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import QtQml.StateMachine 1.0 as DSM
import com.orvanti.mirk 1.0

// The page of one peer: its card, the headings "Shared items" and "Your
// shared items", and below them the peer's drives, its shares, the own
// shares with it, or the notice that it cannot be reached. A state machine
// drives the stack and falls back to the offline view whenever the link
// goes down.
Flickable {
    id: root
    property var peer: null
    property string peerName: peer ? (peer.displayName.length > 0 ? peer.displayName : peer.name) : ""
    property string peerUuid: peer ? peer.uuid : ""
    // Only the null uuid names the own peer.
    property bool isSelfPeer: peer ? peer.uuid === "{00000000-0000-0000-0000-000000000000}" : false
    property var linkState: peer ? peer.linkState : Peer.LinkDown
    readonly property bool linkUp: isSelfPeer || linkState === Peer.LinkUp
    // The view shown: "offline", "drives", "shares" or "acls" ("" before
    // the first decision).
    readonly property string view: stack.currentItem ? stack.currentItem.objectName.replace("View", "") : ""

    signal pathClicked(string path)
    signal editPeerAclClicked(string peerUuid, string aclUuid)
    signal showMyShares()
    signal showPeerShares()
    // Internal: the peer or its link changed.
    signal reevaluate()
    signal peerReplaced()
    signal selectView()

    // The link is checked 5 ms after the page is (re)bound, should no change
    // of the link come first; the online view is chosen right after entry.
    Timer { interval: 5; running: stateCheckLink.active; onTriggered: root.reevaluate() }
    Timer { interval: 0; running: stateSelect.active; onTriggered: root.selectView() }

    Layout.minimumWidth: 650
    Layout.minimumHeight: 400
    Layout.maximumWidth: 900
    implicitWidth: 650
    implicitHeight: 480
    contentWidth: width
    contentHeight: page.implicitHeight
    clip: true
    boundsBehavior: Flickable.StopAtBounds
    ScrollBar.vertical: ScrollBar {
        width: 20
        policy: root.contentHeight > root.height ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
    }

    onPeerChanged: peerReplaced()
    onLinkStateChanged: reevaluate()

    // Read at the moment a transition is tested, not through bindings that
    // may not have caught up with the change being handled.
    function isSelf() {
        return peer ? peer.uuid === "{00000000-0000-0000-0000-000000000000}" : false
    }
    function isUp() {
        return isSelf() || (peer ? peer.linkState === Peer.LinkUp : false)
    }

    function fetchDrives() {
        var model = peer ? peer.vfsFileSystemModel : null
        if (model)
            model.fetchMore(model.index(-1, -1))
    }

    // The transitions carry no guards: what the page should show is decided
    // in the handlers below and announced by one of these signals.
    signal linkWentUp()
    signal linkWentDown()
    signal openDrives()
    signal openShares()
    onReevaluate: isUp() ? linkWentUp() : linkWentDown()
    onSelectView: isSelf() ? openDrives() : openShares()
    onShowPeerShares: if (isUp()) { linkWentUp(); selectView() }

    DSM.StateMachine {
        id: machine
        objectName: "peerViewMachine"
        running: true
        initialState: statePage

        DSM.State {
            id: statePage
            initialState: stateCheckLink
            DSM.SignalTransition { targetState: stateCheckLink; signal: root.peerReplaced }

            DSM.State {
                id: stateCheckLink
                objectName: "stateCheckLink"
                DSM.SignalTransition { targetState: stateOffline; signal: root.linkWentDown }
                DSM.SignalTransition { targetState: stateOnline; signal: root.linkWentUp }
            }
            DSM.State {
                id: stateOffline
                objectName: "stateOffline"
                onEntered: stack.show(offlineView)
                DSM.SignalTransition { targetState: stateOnline; signal: root.linkWentUp }
            }
            DSM.State {
                id: stateOnline
                objectName: "stateOnline"
                initialState: stateSelect
                onEntered: root.fetchDrives()
                DSM.SignalTransition { targetState: stateOffline; signal: root.linkWentDown }
                DSM.SignalTransition { targetState: stateDrives; signal: root.openDrives }
                DSM.SignalTransition { targetState: stateShares; signal: root.openShares }
                DSM.SignalTransition { targetState: stateAcls; signal: root.showMyShares }

                // The own peer opens on its drives, any other on its shares.
                DSM.State { id: stateSelect; objectName: "stateSelect" }
                DSM.State {
                    id: stateShares
                    objectName: "stateShares"
                    onEntered: stack.show(sharesView)
                }
                DSM.State {
                    id: stateDrives
                    objectName: "stateDrives"
                    onEntered: stack.show(driveView)
                }
                DSM.State {
                    id: stateAcls
                    objectName: "stateAcls"
                    onEntered: stack.show(aclView)
                }
            }
        }
    }

    Item {
        id: page
        width: root.width
        implicitHeight: header.height + stack.anchors.topMargin + stack.implicitHeight + stack.anchors.bottomMargin

        Row {
            id: header
            x: 12
            spacing: 64

            PeerViewComputer {
                id: card
                objectName: "card"
                peer: root.peer
                y: 32
                height: implicitHeight
                Drag.dragType: Drag.Automatic
                Drag.supportedActions: Qt.CopyAction
                Drag.active: cardMouse.drag.active
                Drag.mimeData: { "application/velm-peer-uuid": root.peerUuid }
                Drag.imageSource: root.peer && root.peer.icon.length > 0
                                  ? "image://theme/icon/" + root.peer.icon + ".svg"
                                  : "image://theme/icon/dev-desktop.svg"
                Item { id: cardProxy; width: 10; height: 10 }
                MouseArea {
                    id: cardMouse
                    anchors.fill: parent
                    cursorShape: Qt.PointingHandCursor
                    drag.target: cardProxy
                    onReleased: cardProxy.x = 0
                }
            }
            Item { width: 100; height: 1 }
            Column {
                y: 32
                spacing: 8
                Heading {
                    objectName: "peerSharesHeading"
                    text: qsTrId("btn-shared-items")
                    selected: stateShares.active || stateDrives.active
                    onClicked: root.showPeerShares()
                }
                Heading {
                    objectName: "mySharesHeading"
                    text: qsTrId("label-your-shares")
                    selected: stateAcls.active
                    onClicked: root.showMyShares()
                }
            }
        }

        StackView {
            id: stack
            objectName: "peerViewStack"
            anchors.top: header.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.topMargin: 64
            anchors.rightMargin: 40
            anchors.bottomMargin: 48
            anchors.leftMargin: 12
            implicitHeight: currentItem ? currentItem.implicitHeight : 0
            height: implicitHeight

            function show(component) {
                if (depth === 0)
                    push(component, {}, StackView.Immediate)
                else
                    replace(null, component, {}, StackView.Immediate)
            }
        }
    }

    component Heading: Text {
        property bool selected: false
        signal clicked()
        textFormat: Text.PlainText
        color: selected ? Theme.base : Theme.link
        font.pointSize: Theme.pointSizeLarge
        font.bold: selected
        font.underline: headingMouse.containsMouse
        MouseArea {
            id: headingMouse
            anchors.fill: parent
            hoverEnabled: true
            cursorShape: Qt.PointingHandCursor
            onClicked: parent.clicked()
        }
    }

    Component {
        id: offlineView
        Item {
            objectName: "offlineView"
            implicitHeight: offlineText.implicitHeight
            Text {
                id: offlineText
                objectName: "offlineText"
                width: parent.width - 70
                wrapMode: Text.WordWrap
                textFormat: Text.PlainText
                color: Theme.text2
                font.pointSize: Theme.pointSizeMedium
                text: qsTrId("description-remote-not-reachable")
                NumberAnimation on opacity { from: 0; to: 1; duration: 100 }
            }
        }
    }

    Component {
        id: driveView
        Item {
            objectName: "drivesView"
            implicitHeight: drives.implicitHeight + 48
            DriveList {
                id: drives
                objectName: "driveList"
                y: 48
                width: parent.width
                focus: true
                vfsDriveModel: root.peer ? root.peer.vfsDriveModel : null
                peerUuid: root.peerUuid
                onPathClicked: root.pathClicked(path)
            }
        }
    }

    Component {
        id: sharesView
        Item {
            objectName: "sharesView"
            implicitHeight: sharesColumn.implicitHeight
            Column {
                id: sharesColumn
                width: parent.width
                spacing: 0
                Text {
                    text: qsTrId("btn-shared-items")
                    textFormat: Text.PlainText
                    color: Theme.base
                    font.pointSize: Theme.pointSizeLarge
                    bottomPadding: 32
                }
                Text {
                    objectName: "noSharesText"
                    width: parent.width - 70
                    wrapMode: Text.WordWrap
                    textFormat: Text.PlainText
                    color: Theme.text2
                    font.pointSize: Theme.pointSizeMedium
                    text: qsTrId("no-shared-items-on-remote").arg(root.peerName)
                    visible: opacity > 0
                    opacity: sharesList.count === 0 && drivesOfShares.count === 0 ? 1 : 0
                    Behavior on opacity { NumberAnimation { duration: 50 } }
                }
                SharesList {
                    id: sharesList
                    objectName: "sharesList"
                    width: parent.width
                    height: implicitHeight
                    focus: true
                    vfsModel: root.peer ? root.peer.vfsFileSystemModel : null
                    peerUuid: root.peerUuid
                    onPathClicked: root.pathClicked(path)
                }
                Item { width: 1; height: sharesList.count > 0 && drivesOfShares.count > 0 ? 24 : 0 }
                DriveList {
                    id: drivesOfShares
                    objectName: "sharedDriveList"
                    width: parent.width
                    vfsDriveModel: root.peer ? root.peer.vfsDriveModel : null
                    peerUuid: root.peerUuid
                    onPathClicked: root.pathClicked(path)
                }
                Item { width: 1; height: 24 }
            }
        }
    }

    Component {
        id: aclView
        Item {
            objectName: "aclsView"
            implicitHeight: aclColumn.implicitHeight
            Column {
                id: aclColumn
                width: parent.width
                Text {
                    text: qsTrId("label-your-shares")
                    textFormat: Text.PlainText
                    color: Theme.base
                    font.pointSize: Theme.pointSizeLarge
                    bottomPadding: 32
                }
                Text {
                    objectName: "noAclText"
                    width: parent.width - 70
                    wrapMode: Text.WordWrap
                    textFormat: Text.PlainText
                    color: Theme.text2
                    font.pointSize: Theme.pointSizeMedium
                    text: qsTrId("no-shared-items-for-remote").arg(root.peerName)
                    visible: aclList.count === 0
                }
                AclList {
                    id: aclList
                    objectName: "aclList"
                    width: parent.width
                    height: implicitHeight
                    focus: true
                    aclModel: root.peer && root.peer.aclModel !== undefined ? root.peer.aclModel : null
                    peerUuid: root.peerUuid
                    onPathClicked: root.pathClicked(selector)
                    onEditClicked: root.editPeerAclClicked(peerUuid, aclUuid)
                }
                Item { width: 1; height: 24 }
            }
        }
    }
}
