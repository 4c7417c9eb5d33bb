import QtQuick 2.12

// The light colour theme: palette colours, control colours and sizes that the
// QML pages read from the context property "Theme", and the colour lists that
// recolour the built-in icons (each list: colour in the drawing, colour shown).
QtObject {
    // palette
    property string foreground: "#2e3436"
    property string foreground2: "#202426"
    property string background: "#f3f3f2"
    property string background2: "#ffffff"
    property string control: "#e8e8e7"
    property string controlHighlight: "#f6f6f5"
    property string controlLightHighlight: "#ffffff"
    property string controlShadow: "#c3c3c0"
    property string controlDarkShadow: "#9a9a96"

    // control states
    property color base: "#2e3436"
    property color fg: "#2e3436"
    property color textDisabled: "#9a9a96"
    property color controlHovered2: "#dcdcda"
    property color controlDown2: "#c9c9c6"
    property color controlChecked: "#bcd2ee"
    property color controlCheckable: "#eeeeec"
    property color highlight: "#5294e2"
    property color normal: "#ffffff"
    property color alternate: "#f6f6f5"
    property color link: "#1a5fb4"
    property color error: "#c01c28"
    property int controlBorderRadius: 3
    property int controlBorderWidth: 1
    property int controlBorderWidthFocus: 2
    property int lineEditHeight: 28
    property int spacing: 8
    property int windowPadding: 12
    property color frameBorder: "#c3c3c0"
    property color text2: "#5e6466"
    property color transparent: "transparent"

    // sizes, written by the program from the desktop's font and screen
    property real scaleFactor: 1.0
    property real pointSizeNormal: 10
    property int pixelSizeNormal: 16
    property real pointSizeSmall: 8
    property real pointSizeMedium: 11
    property real pointSizeLarge: 14
    property real pointSizeHuge: 18

    // icon colours: image://theme/icon/... draws black as the text colour,
    // image://theme/iconlight/... draws it white (for dark backgrounds)
    property QtObject icon: QtObject {
        property var fg: ["#000000", "#2e3436"]
        property var accent: ["#ff0000", "#5294e2"]
    }
    // image://theme/icongrey/... draws every colour of the drawing grey: the
    // look of a peer that is not connected
    property QtObject icongrey: QtObject {
        property var fg: ["#000000", "#8d9294"]
        property var accent: ["#ff0000", "#b6babc"]
    }
    property QtObject iconlight: QtObject {
        property var fg: ["#000000", "#ffffff"]
        property var accent: ["#ff0000", "#9ec3f0"]
    }
}
