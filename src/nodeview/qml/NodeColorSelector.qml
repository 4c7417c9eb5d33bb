import QtQuick 2.12

// The swatches of the seventeen node styles; a click reports the style.
Grid {
    id: colorGrid
    objectName: "nodeStyleSelector"
    columns: 17
    spacing: 2
    signal styleClicked(var style)

    NodeColorRect { style: Theme.node ? Theme.node.style0 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style1 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style2 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style3 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style4 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style5 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style6 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style7 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style8 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style9 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style10 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style11 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style12 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style13 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style14 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style15 : null }
    NodeColorRect { style: Theme.node ? Theme.node.style16 : null }
}
