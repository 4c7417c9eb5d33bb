import QtQuick 2.12
import QtQuick.Window 2.12

// The window of one copy job. The main window writes the properties; the
// signals steer the job. Closing asks first while the job has not ended
// (closeRequested; the answer comes back as cancelAnswered), and Escape acts
// as closing.
Window {
    id: root
    objectName: "jobWindow"

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
    property bool canClose: false
    property bool askingCancel: false

    signal abort()
    signal skipItem()
    signal replaceItem()
    signal replaceAllItems()
    signal closeRequested()
    signal cancelAnswered(bool cancel)

    // VfsJob states
    readonly property int stateInit: 1
    readonly property int statePaused: 4
    readonly property int stateRunning: 3
    readonly property int stateFinished: 6
    readonly property int stateAborted: 7

    width: Math.max(480, Math.min(640, Screen.desktopAvailableWidth / 3))
    height: Math.max(jobView.implicitHeight, 200)
    minimumWidth: 400
    minimumHeight: jobView.implicitHeight
    x: Math.max(0, (Screen.desktopAvailableWidth - width) / 2)
    y: Math.max(0, (Screen.desktopAvailableHeight - height) / 3)
    color: Theme.background

    title: {
        switch (jobState) {
        //% "%1 % done"
        case stateRunning: return qsTrId("copy-dlg-title").arg(Math.floor(percentDone))
        //% "aborted"
        case stateAborted: return jobView.failed ? qsTrId("copy-status-failed") : qsTrId("copy-status-aborted")
        //% "paused"
        case statePaused: return qsTrId("copy-status-paused")
        //% "initialize..."
        case stateInit: return qsTrId("copy-status-init")
        //% "done"
        case stateFinished: return qsTrId("copy-status-done")
        default: return "velm"
        }
    }

    onClosing: {
        if (!root.canClose) {
            close.accepted = false
            root.closeRequested()
        }
    }

    Shortcut {
        sequence: "Escape"
        context: Qt.WindowShortcut
        onActivated: {
            if (root.askingCancel)
                root.cancelAnswered(false)
            else
                root.close()
        }
    }

    JobCopyItem {
        id: jobView
        anchors.fill: parent
        percentDone: root.percentDone
        bytesCopied: root.bytesCopied
        bytesTotal: root.bytesTotal
        currentItem: root.currentItem
        userPrompt: root.userPrompt
        writeSpeed: root.writeSpeed
        jobState: root.jobState
        totalFilesCount: root.totalFilesCount
        remainingTime: root.remainingTime
        filesDone: root.filesDone
        failureText: root.failureText
        failurePeer: root.failurePeer
        failurePath: root.failurePath
        retryCount: root.retryCount
        nextRetryAt: root.nextRetryAt
        failedItems: root.failedItems
        keptItems: root.keptItems
        jobGone: root.jobGone
        askingCancel: root.askingCancel
        onAbort: root.abort()
        onSkipItem: root.skipItem()
        onReplaceItem: root.replaceItem()
        onReplaceAllItems: root.replaceAllItems()
        onCloseClicked: root.close()
        onCancelAnswered: root.cancelAnswered(cancel)
    }
}
