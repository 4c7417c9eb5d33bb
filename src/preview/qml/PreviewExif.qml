import QtQuick 2.12
import QtQuick.Layouts 1.12
import QtQuick.Window 2.12

// The details bar of a photograph: one framed field per detail the picture
// has; the fields it lacks are left out.
RowLayout {
    id: root
    property int iso: 0
    property string fNumber: ""
    property string focalLength: ""
    property string make: ""
    property string model: ""
    property string exposureTime: ""
    property string date: ""
    property string time: ""
    readonly property bool empty: iso <= 0 && fNumber === "" && focalLength === "" && make === ""
                                  && model === "" && exposureTime === "" && date === "" && time === ""

    spacing: 6

    FontMetrics { id: metrics; font.pointSize: Theme.pointSizeNormal }

    component Field: Rectangle {
        property alias text: label.text
        property alias label: label
        visible: label.text !== ""
        implicitWidth: Math.max(label.implicitWidth, metrics.averageCharacterWidth * 4) + 16
        implicitHeight: metrics.height + 10
        radius: Theme.controlBorderRadius
        color: "transparent"
        border.width: Theme.controlBorderWidth
        border.color: Theme.controlShadow
        Text {
            id: label
            anchors.centerIn: parent
            textFormat: Text.PlainText
            font.pointSize: Theme.pointSizeNormal
            color: Theme.base
        }
    }

    Field { objectName: "isoLabel"; text: root.iso > 0 ? "ISO " + root.iso : "" }
    Field { objectName: "fNumberLabel"; text: root.fNumber }
    Field { objectName: "focalLengthLabel"; text: root.focalLength }
    Field { objectName: "exposureTimeLabel"; text: root.exposureTime }
    Field { objectName: "makeLabel"; text: root.make }
    Field { objectName: "modelLabel"; text: root.model }
    Field { objectName: "dateLabel"; text: root.date }
    Field { objectName: "timeLabel"; text: root.time }
    Item { Layout.fillWidth: true; implicitHeight: metrics.height + 10; width: metrics.advanceWidth(" ") }
}
