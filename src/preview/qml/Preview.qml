import QtQuick 2.12
import QtQuick.Layouts 1.12
import QtQuick.Window 2.12
import QtQuick.Controls 2.12
import "elements"

// The page of the preview window: a title bar with the file's name, zoom and
// size, the picture (dragged with the mouse, zoomed with the wheel), page
// stepping for PDF documents and the details bar of photographs.
Rectangle {
    id: root
    objectName: "previewRoot"
    width: 600
    height: 500
    color: Theme.background

    property string fileName: ""
    property string path: ""
    property string img: ""
    property bool adjustWindowSize: true
    property int page: 0
    property int pageCount: 0
    property bool needInit: true
    // The picture's own size; an SVG rendered larger for the zoom keeps it.
    property int imgWidth: 0
    property int imgHeight: 0
    property color altColor: "#ffffff"

    property real zoom: 1.0
    // SVG drawings are rendered again at the zoom above 100 %.
    property int svgScale: 100
    readonly property real sourceScale: isSvg && svgScale > 100 ? svgScale / 100 : 1
    readonly property bool isSvg: /\.svgz?$/i.test(fileName)
    readonly property bool isPdf: /\.pdf$/i.test(fileName)
    readonly property string baseUrl: img.indexOf("?") >= 0 ? img.substring(0, img.indexOf("?")) : img
    readonly property alias imageStatus: image.status
    readonly property alias imageSource: image.source

    signal copy()
    signal previous()
    signal next()

    onImgChanged: {
        needInit = true
        svgScale = 100
        zoom = 1.0
        imgWidth = 0
        imgHeight = 0
    }

    function sourceUrl() {
        if (img === "")
            return ""
        if (isPdf)
            return baseUrl + "?page=" + page
        if (isSvg && svgScale > 100)
            return baseUrl + "?scale=" + svgScale
        return img
    }

    function scaleFactor() {
        return zoom
    }

    // Zooms to z, keeping the picture's point under (px, py) of the view in place.
    function scaleTo(z, px, py) {
        z = Math.max(0.02, Math.min(z, 32))
        if (px === undefined) {
            px = flick.width / 2
            py = flick.height / 2
        }
        var ix = (px - image.x) / zoom
        var iy = (py - image.y) / zoom
        zoom = z
        image.x = px - ix * z
        image.y = py - iy * z
        if (isSvg)
            imgTimer.restart()
    }

    function initImage(enlarge) {
        if (imgWidth <= 0 || imgHeight <= 0)
            return
        var z = Math.min(flick.width / imgWidth, flick.height / imgHeight)
        if (!enlarge)
            z = Math.min(z, 1)
        zoom = z
        image.x = (flick.width - imgWidth * z) / 2
        image.y = (flick.height - imgHeight * z) / 2
        needInit = false
        if (isSvg)
            imgTimer.restart()
    }

    Shortcut { sequence: "Ctrl+0"; onActivated: root.scaleTo(1) }
    Shortcut { sequence: "Left"; onActivated: root.previous() }
    Shortcut { sequence: "Right"; onActivated: root.next() }
    Shortcut { sequence: "PgUp"; enabled: root.page > 0; onActivated: root.page = root.page - 1 }
    Shortcut { sequence: "PgDown"; enabled: root.page + 1 < root.pageCount; onActivated: root.page = root.page + 1 }
    Shortcut { sequences: [StandardKey.ZoomIn]; onActivated: root.scaleTo(root.zoom * 1.25) }
    Shortcut { sequences: [StandardKey.ZoomOut]; onActivated: root.scaleTo(root.zoom / 1.25) }
    Shortcut { sequences: [StandardKey.Copy]; onActivated: root.copy() }

    RowLayout {
        id: titleBar
        anchors { left: parent.left; right: parent.right; top: parent.top; margins: 8 }
        height: 32
        spacing: 8

        Text {
            id: nameLabel
            objectName: "nameLabel"
            Layout.fillWidth: true
            text: root.fileName
            textFormat: Text.PlainText
            elide: Text.ElideRight
            font.pointSize: Theme.pointSizeNormal
            font.bold: true
            color: Theme.base
        }
        Text {
            objectName: "zoomLabel"
            text: Math.round(root.zoom * 100) + " %"
            textFormat: Text.PlainText
            font.pointSize: Theme.pointSizeNormal
            color: Theme.base
        }
        Text {
            objectName: "sizeLabel"
            visible: root.imgWidth > 0
            text: root.imgWidth + " × " + root.imgHeight
            textFormat: Text.PlainText
            font.pointSize: Theme.pointSizeNormal
            color: Theme.base
        }
        ExtButton2 {
            objectName: "pageBack"
            visible: root.pageCount > 1
            enabled: root.page > 0
            text: "‹"
            topLeftCorner: true
            bottomLeftCorner: true
            onClicked: root.page = root.page - 1
        }
        Text {
            objectName: "pageLabel"
            visible: root.pageCount > 1
            text: (root.page + 1) + " / " + root.pageCount
            textFormat: Text.PlainText
            font.pointSize: Theme.pointSizeNormal
            color: Theme.base
        }
        ExtButton2 {
            objectName: "pageForward"
            visible: root.pageCount > 1
            enabled: root.page + 1 < root.pageCount
            text: "›"
            topRightCorner: true
            bottomRightCorner: true
            onClicked: root.page = root.page + 1
        }
        ExtButton2 {
            id: btn100
            objectName: "btn100"
            //% "Original size"
            text: qsTrId("btn-preview-origsize")
            topLeftCorner: true
            bottomLeftCorner: true
            ToolTip.visible: hovered
            ToolTip.delay: 600
            //% "Scales content to 100%"
            ToolTip.text: qsTrId("tooltip-preview-btn-origsize")
            onClicked: root.scaleTo(1)
        }
        ExtButton2 {
            id: btnInit
            objectName: "btnInit"
            //% "Fit in view"
            text: qsTrId("btn-preview-fitview")
            topRightCorner: true
            bottomRightCorner: true
            ToolTip.visible: hovered
            ToolTip.delay: 600
            //% "Fits the content to the view size"
            ToolTip.text: qsTrId("tooltip-preview-btn-fitview")
            onClicked: root.initImage(true)
        }
    }

    Rectangle {
        id: frame
        anchors { left: parent.left; right: parent.right; top: titleBar.bottom; bottom: previewExif.visible ? previewExif.top : parent.bottom; margins: 8 }
        color: root.altColor
        radius: Theme.controlBorderRadius
        border.width: Theme.controlBorderWidth
        border.color: Theme.controlDarkShadow

        Item {
            id: flick
            objectName: "flick"
            anchors.fill: parent
            anchors.margins: Theme.controlBorderWidth
            clip: true
            onWidthChanged: if (root.needInit) root.initImage(false)
            onHeightChanged: if (root.needInit) root.initImage(false)

            // A page's edge, so that a white page stands out of the white frame.
            Rectangle {
                visible: root.isPdf && image.status === Image.Ready
                x: image.x - 1
                y: image.y - 1
                width: image.width + 2
                height: image.height + 2
                color: "transparent"
                border.width: 1
                border.color: Theme.controlDarkShadow
            }

            Image {
                id: image
                objectName: "image"
                asynchronous: true
                cache: false
                smooth: true
                mipmap: true
                fillMode: Image.PreserveAspectFit
                source: root.sourceUrl()
                width: root.imgWidth * root.zoom
                height: root.imgHeight * root.zoom
                onStatusChanged: {
                    if (status === Image.Ready) {
                        root.imgWidth = Math.round(implicitWidth / root.sourceScale)
                        root.imgHeight = Math.round(implicitHeight / root.sourceScale)
                        if (root.needInit)
                            root.initImage(false)
                    }
                }
            }

            MouseArea {
                id: flickMouseArea
                objectName: "flickMouseArea"
                anchors.fill: parent
                drag.target: image
                drag.axis: Drag.XAndYAxis
                cursorShape: pressed ? Qt.ClosedHandCursor : Qt.OpenHandCursor
                onWheel: {
                    var factor = wheel.angleDelta.y > 0 ? 1.2 : 1 / 1.2
                    root.scaleTo(root.zoom * factor, wheel.x, wheel.y)
                }
                onDoubleClicked: root.initImage(true)
            }

            Text {
                objectName: "errorLabel"
                anchors.centerIn: parent
                visible: image.status === Image.Error
                //% "The file cannot be shown."
                text: qsTrId("preview-failed")
                textFormat: Text.PlainText
                font.pointSize: Theme.pointSizeNormal
                color: Theme.base
            }
            BusyIndicator {
                anchors.centerIn: parent
                running: image.status === Image.Loading
                visible: running
            }
        }
    }

    // Renders an SVG again at the zoom once the wheel has come to rest.
    Timer {
        id: imgTimer
        objectName: "imgTimer"
        interval: 300
        onTriggered: {
            var wanted = Math.max(100, Math.round(root.zoom * 100))
            if (wanted !== root.svgScale) {
                var x = image.x
                var y = image.y
                root.svgScale = wanted
                image.x = x
                image.y = y
            }
        }
    }

    PreviewExif {
        id: previewExif
        objectName: "previewExif"
        visible: false
        anchors { left: parent.left; right: parent.right; bottom: parent.bottom; margins: 8 }
    }
}
