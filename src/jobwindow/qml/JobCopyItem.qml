import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Layouts 1.12
import "elements"

// What the window of one copy job shows: where the copy stands, why it
// waits, the question it asks, and how it ended. Every name from a peer or a
// file system is shown as plain text.
Item {
    id: root

    property double percentDone: 0
    property string bytesCopied: ""
    property string bytesTotal: ""
    property string currentItem: ""
    property string userPrompt: ""
    property string writeSpeed: ""
    property int jobState: 0
    property int totalFilesCount: 0
    property string remainingTime: ""
    property int filesDone: 0
    property string failureText: ""
    property string failurePeer: ""
    property string failurePath: ""
    property int retryCount: 0
    property var nextRetryAt: undefined
    property var failedItems: []
    property var keptItems: []
    property bool jobGone: false
    property bool askingCancel: false

    // A job that gave up for good counts its tries at this.
    readonly property int finalFailure: 1000000
    readonly property bool failed: jobState === 7 && retryCount >= finalFailure
    readonly property bool ended: jobState === 6 || jobState === 7 || jobGone
    readonly property string problem: userPrompt !== "" ? userPrompt : failureText

    signal abort()
    signal skipItem()
    signal replaceItem()
    signal replaceAllItems()
    signal closeClicked()
    signal cancelAnswered(bool cancel)

    implicitWidth: 480
    implicitHeight: column.implicitHeight + 2 * column.anchors.margins
    focus: true

    state: {
        switch (jobState) {
        case 5: return "QUESTION"
        case 3: return "RUNNING"
        case 1: return "INIT"
        case 4: return "PAUSED"
        case 7: return "ABORTED"
        case 6: return "FINISHED"
        default: return ""
        }
    }
    states: [
        State { name: "QUESTION" },
        State { name: "RUNNING" },
        State { name: "INIT" },
        State { name: "PAUSED" },
        State { name: "ABORTED" },
        State { name: "FINISHED" }
    ]

    // Seconds until the next try, counted down while the job waits.
    property int secondsToRetry: 0
    function updateCountdown() {
        if (nextRetryAt instanceof Date && !isNaN(nextRetryAt.getTime()))
            secondsToRetry = Math.max(0, Math.ceil((nextRetryAt.getTime() - Date.now()) / 1000))
        else
            secondsToRetry = 0
    }
    onNextRetryAtChanged: updateCountdown()
    Timer {
        interval: 1000
        repeat: true
        running: root.state === "PAUSED" && root.retryCount > 0
        onTriggered: root.updateCountdown()
    }

    ColumnLayout {
        id: column
        anchors.fill: parent
        anchors.margins: 16
        spacing: 8

        Label {
            id: headline
            objectName: "headline"
            Layout.fillWidth: true
            textFormat: Text.PlainText
            font.bold: true
            font.pointSize: Theme.pointSizeMedium
            color: root.failed ? Theme.error : Theme.fg
            wrapMode: Text.Wrap
            text: {
                if (root.askingCancel)
                    //% "The copy has not finished. Cancel it?"
                    return qsTrId("copy-close-question")
                switch (root.state) {
                //% "Copying"
                case "RUNNING": return qsTrId("copy-headline-running")
                //% "Counting what to copy..."
                case "INIT": return qsTrId("copy-headline-init")
                //% "Waiting for your answer"
                case "QUESTION": return qsTrId("copy-headline-question")
                //% "Waiting to start over"
                case "PAUSED": return qsTrId("copy-headline-waiting")
                //% "Done: every file copied and verified"
                case "FINISHED": return root.failedItems.length > 0 ? qsTrId("copy-headline-done-some-failed")
                                                                     : qsTrId("copy-headline-done")
                case "ABORTED": return root.failed ? qsTrId("copy-headline-failed")
                                                   //% "Aborted: the copy was cancelled"
                                                   : qsTrId("copy-headline-aborted")
                default: return ""
                }
            }
        }

        Label {
            id: currentLabel
            objectName: "currentItem"
            Layout.fillWidth: true
            visible: root.currentItem !== "" && !root.ended
            textFormat: Text.PlainText
            elide: Text.ElideMiddle
            color: Theme.fg
            text: root.currentItem
        }

        Rectangle {
            id: progressBar
            objectName: "progressBar"
            Layout.fillWidth: true
            height: 10
            radius: Theme.controlBorderRadius
            color: Theme.control
            border.width: 1
            border.color: Theme.controlShadow
            Rectangle {
                id: progressHandle
                objectName: "progressHandle"
                anchors.left: parent.left
                anchors.top: parent.top
                anchors.bottom: parent.bottom
                width: parent.width * Math.max(0, Math.min(100, root.percentDone)) / 100
                radius: parent.radius
                color: root.failed ? Theme.error : Theme.highlight
            }
        }

        Label {
            objectName: "bytesInfo"
            Layout.fillWidth: true
            textFormat: Text.PlainText
            color: Theme.fg
            //% "%1 of %2 copied (%3 %)"
            text: qsTrId("copy-progress-info2").arg(root.bytesCopied).arg(root.bytesTotal)
                                               .arg(Math.floor(root.percentDone))
        }

        Label {
            objectName: "filesInfo"
            Layout.fillWidth: true
            textFormat: Text.PlainText
            color: Theme.fg
            //% "%1 of %2 files"
            text: qsTrId("copy-progress-info1").arg(root.filesDone).arg(root.totalFilesCount)
        }

        Label {
            objectName: "speedInfo"
            Layout.fillWidth: true
            visible: root.state === "RUNNING"
            textFormat: Text.PlainText
            color: Theme.fg
            text: root.remainingTime !== "" ? root.writeSpeed + "  \u2014  " + root.remainingTime : root.writeSpeed
        }

        Label {
            objectName: "problem"
            Layout.fillWidth: true
            visible: text !== ""
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            color: root.state === "QUESTION" ? Theme.fg : Theme.error
            text: {
                if (root.state === "QUESTION")
                    return root.userPrompt
                if (root.state === "PAUSED" && root.failureText !== "")
                    //% "The last try stopped: %1"
                    return qsTrId("copy-waiting-reason").arg(root.failureText)
                if (root.failed)
                    return root.problem
                return ""
            }
        }

        Label {
            objectName: "retryInfo"
            Layout.fillWidth: true
            visible: root.state === "PAUSED" && root.retryCount > 0 && root.retryCount < root.finalFailure
            textFormat: Text.PlainText
            wrapMode: Text.Wrap
            color: Theme.fg
            text: {
                if (!(root.nextRetryAt instanceof Date) || isNaN(root.nextRetryAt.getTime()))
                    //% "Try %1 starts as soon as the last one has let go."
                    return qsTrId("copy-retry-pending").arg(root.retryCount + 1)
                //% "Try %1 starts at %2 (in %3 s)."
                return qsTrId("copy-retry-info").arg(root.retryCount + 1)
                    .arg(Qt.formatTime(root.nextRetryAt, Qt.DefaultLocaleLongDate)).arg(root.secondsToRetry)
            }
        }

        Label {
            objectName: "itemsHeading"
            Layout.fillWidth: true
            visible: itemList.count > 0
            textFormat: Text.PlainText
            font.bold: true
            color: Theme.fg
            text: root.keptItems.length > 0
                  //% "Left at the source:"
                  ? qsTrId("copy-kept-items")
                  //% "Not copied:"
                  : qsTrId("copy-failed-items")
        }

        ListView {
            id: itemList
            objectName: "itemList"
            Layout.fillWidth: true
            Layout.preferredHeight: Math.min(count, 5) * 20
            visible: count > 0
            clip: true
            model: root.keptItems.length > 0 ? root.keptItems.concat(root.failedItems) : root.failedItems
            delegate: Label {
                width: itemList.width
                height: 20
                textFormat: Text.PlainText
                elide: Text.ElideMiddle
                color: Theme.fg
                text: modelData.path + "  \u2014  " + modelData.reason
            }
            ScrollBar.vertical: ScrollBar {}
        }

        Item { Layout.fillHeight: true; Layout.preferredHeight: 0 }

        RowLayout {
            Layout.alignment: Qt.AlignRight
            spacing: 8

            ExtButton {
                objectName: "skipButton"
                visible: root.state === "QUESTION" && !root.askingCancel
                //% "Skip"
                text: qsTrId("btn-skip")
                onClicked: root.skipItem()
            }
            ExtButton {
                objectName: "replaceButton"
                visible: root.state === "QUESTION" && !root.askingCancel
                //% "Replace"
                text: qsTrId("btn-replace")
                onClicked: root.replaceItem()
            }
            ExtButton {
                objectName: "replaceAllButton"
                visible: root.state === "QUESTION" && !root.askingCancel
                //% "Replace all"
                text: qsTrId("btn-replace-all")
                onClicked: root.replaceAllItems()
            }
            ExtButton {
                objectName: "cancelButton"
                visible: !root.ended && !root.askingCancel
                //% "Cancel"
                text: qsTrId("btn-cancel")
                onClicked: root.abort()
            }
            ExtButton {
                objectName: "cancelCopyButton"
                visible: root.askingCancel
                //% "Cancel copy"
                text: qsTrId("btn-cancel-copy")
                onClicked: root.cancelAnswered(true)
            }
            ExtButton {
                objectName: "keepCopyingButton"
                visible: root.askingCancel
                //% "Keep copying"
                text: qsTrId("btn-keep-copying")
                onClicked: root.cancelAnswered(false)
            }
            ExtButton {
                objectName: "closeButton"
                visible: root.ended && !root.askingCancel
                //% "Close"
                text: qsTrId("btn-close")
                onClicked: root.closeClicked()
            }
        }
    }
}
