import QtQuick 2.12

// The strip: the view places one sector node per sector on it.
Item {
}
