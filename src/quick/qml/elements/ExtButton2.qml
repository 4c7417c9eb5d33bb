import QtQuick 2.12
import QtQuick.Controls 2.12

// A button whose corners are rounded only where asked, so that two of them
// form one joined group (back and up in the breadcrumb bar).
Button {
    id: control
    property int radius: Theme.controlBorderRadius
    property color color: control.down ? Theme.controlDown2
                        : control.checked ? Theme.controlChecked
                        : control.hovered ? Theme.controlHovered2
                        : control.checkable ? Theme.controlCheckable
                        : Theme.control
    property int borderWidth: Theme.controlBorderWidth
    property color borderColor: Theme.controlShadow
    property bool topLeftCorner: false
    property bool topRightCorner: false
    property bool bottomRightCorner: false
    property bool bottomLeftCorner: false

    hoverEnabled: true
    leftPadding: 10
    rightPadding: 10
    font.pointSize: Theme.pointSizeNormal

    HoverHandler { id: hover }

    contentItem: Label {
        text: control.text
        textFormat: Text.PlainText
        font: control.font
        color: control.enabled ? Theme.base : Theme.textDisabled
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        elide: Text.ElideRight
    }

    background: Canvas {
        id: canvas
        implicitWidth: 28
        implicitHeight: 28
        onPaint: {
            var ctx = getContext("2d")
            ctx.reset()
            var w = width, h = height, b = control.borderWidth / 2
            var tl = control.topLeftCorner ? control.radius : 0
            var tr = control.topRightCorner ? control.radius : 0
            var br = control.bottomRightCorner ? control.radius : 0
            var bl = control.bottomLeftCorner ? control.radius : 0
            ctx.beginPath()
            ctx.moveTo(b + tl, b)
            ctx.lineTo(w - b - tr, b)
            ctx.arcTo(w - b, b, w - b, b + tr, tr)
            ctx.lineTo(w - b, h - b - br)
            ctx.arcTo(w - b, h - b, w - b - br, h - b, br)
            ctx.lineTo(b + bl, h - b)
            ctx.arcTo(b, h - b, b, h - b - bl, bl)
            ctx.lineTo(b, b + tl)
            ctx.arcTo(b, b, b + tl, b, tl)
            ctx.closePath()
            ctx.fillStyle = control.color
            ctx.fill()
            if (control.borderWidth > 0) {
                ctx.lineWidth = control.borderWidth
                ctx.strokeStyle = control.borderColor
                ctx.stroke()
            }
        }
    }

    onTopLeftCornerChanged: canvas.requestPaint()
    onTopRightCornerChanged: canvas.requestPaint()
    onBottomRightCornerChanged: canvas.requestPaint()
    onBottomLeftCornerChanged: canvas.requestPaint()
    onColorChanged: canvas.requestPaint()
    onRadiusChanged: canvas.requestPaint()
    onBorderColorChanged: canvas.requestPaint()
}
