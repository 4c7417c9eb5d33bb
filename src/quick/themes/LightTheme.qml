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

    // node styles of the node view: the seventeen swatches "style0" to
    // "style16", and the defaults of drive, sector and special nodes
    property QtObject node: QtObject {
        property QtObject style0: QtObject { property string name: "style0"; property color bg: "#ffffff"; property color fg: "#2e3436"; property color border: "#c3c3c0" }
        property QtObject style1: QtObject { property string name: "style1"; property color bg: "#eeeeec"; property color fg: "#2e3436"; property color border: "#babdb6" }
        property QtObject style2: QtObject { property string name: "style2"; property color bg: "#f8d7da"; property color fg: "#5c1a1f"; property color border: "#e3a0a7" }
        property QtObject style3: QtObject { property string name: "style3"; property color bg: "#fde2c8"; property color fg: "#5a3110"; property color border: "#f0b27a" }
        property QtObject style4: QtObject { property string name: "style4"; property color bg: "#fcf3c4"; property color fg: "#4d4310"; property color border: "#e6d57a" }
        property QtObject style5: QtObject { property string name: "style5"; property color bg: "#d9f2d0"; property color fg: "#1f4d14"; property color border: "#9fd48a" }
        property QtObject style6: QtObject { property string name: "style6"; property color bg: "#cdeee9"; property color fg: "#124a42"; property color border: "#86cfc3" }
        property QtObject style7: QtObject { property string name: "style7"; property color bg: "#d6e6fa"; property color fg: "#143a66"; property color border: "#90b8ea" }
        property QtObject style8: QtObject { property string name: "style8"; property color bg: "#e4dcf5"; property color fg: "#33205e"; property color border: "#b29ee0" }
        property QtObject style9: QtObject { property string name: "style9"; property color bg: "#f7d9ec"; property color fg: "#5b1a42"; property color border: "#e3a0c8" }
        property QtObject style10: QtObject { property string name: "style10"; property color bg: "#e8dccf"; property color fg: "#43301c"; property color border: "#c4a98b" }
        property QtObject style11: QtObject { property string name: "style11"; property color bg: "#d3d7cf"; property color fg: "#2e3436"; property color border: "#9a9a96" }
        property QtObject style12: QtObject { property string name: "style12"; property color bg: "#5294e2"; property color fg: "#ffffff"; property color border: "#3b7bc8" }
        property QtObject style13: QtObject { property string name: "style13"; property color bg: "#26a269"; property color fg: "#ffffff"; property color border: "#1c7d50" }
        property QtObject style14: QtObject { property string name: "style14"; property color bg: "#e66100"; property color fg: "#ffffff"; property color border: "#b84e00" }
        property QtObject style15: QtObject { property string name: "style15"; property color bg: "#c01c28"; property color fg: "#ffffff"; property color border: "#931520" }
        property QtObject style16: QtObject { property string name: "style16"; property color bg: "#2e3436"; property color fg: "#ffffff"; property color border: "#1c2022" }
        property QtObject drive0: QtObject { property string name: "drive0"; property color bg: "#f6f6f5"; property color fg: "#2e3436"; property color border: "#c3c3c0" }
        property QtObject sector0: QtObject { property string name: "sector0"; property color bg: "#ffffff"; property color fg: "#2e3436"; property color border: "#c3c3c0" }
        property QtObject special0: QtObject { property string name: "special0"; property color bg: "#eef3fb"; property color fg: "#143a66"; property color border: "#90b8ea" }
    }
}
