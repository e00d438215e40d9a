// Both models in a window, as a desktop program shows them: activities on the left (the
// current one marked), the resources of each activity on the right. Given a file name
// after `--` on the qml command line, it saves a picture of its window there and quits
// (demo/screenshot.sh).
import QtQuick 2.15
import QtQuick.Window 2.15
import org.zephyn.models 0.1

Window {
    id: window
    width: 720
    height: 300
    visible: true
    color: "#f4f5f7"
    title: "org.zephyn.models"

    readonly property string pictureFile: {
        var args = Qt.application.arguments
        var dashes = args.indexOf("--")
        return dashes >= 0 && dashes + 1 < args.length ? args[dashes + 1] : ""
    }

    Row {
        anchors.fill: parent
        anchors.margins: 16
        spacing: 16

        Column {
            width: 260
            spacing: 8
            Text { text: activities.headerData(0, Qt.Horizontal, Qt.DisplayRole) + " (ActivityModel)"; font.bold: true; font.pixelSize: 16 }
            ListView {
                width: parent.width
                height: contentHeight
                interactive: false
                model: ActivityModel { id: activities }
                delegate: Rectangle {
                    width: ListView.view.width
                    height: 44
                    color: current ? "#dbe8ff" : "white"
                    border.color: "#c9ced6"
                    radius: 4
                    Column {
                        anchors.verticalCenter: parent.verticalCenter
                        x: 10
                        Text { text: name + (current ? "  \u2014 current" : ""); font.pixelSize: 14 }
                        Text { text: activityId + " \u00b7 icon " + icon; color: "#5b6573"; font.pixelSize: 11 }
                    }
                }
                spacing: 6
            }
        }

        Column {
            width: parent.width - 276
            spacing: 8
            Text { text: resources.headerData(0, Qt.Horizontal, Qt.DisplayRole) + " (ResourceModel)"; font.bold: true; font.pixelSize: 16 }
            ListView {
                width: parent.width
                height: contentHeight
                interactive: false
                model: ResourceModel { id: resources }
                delegate: Rectangle {
                    width: ListView.view.width
                    height: 44
                    color: "white"
                    border.color: "#c9ced6"
                    radius: 4
                    Column {
                        anchors.verticalCenter: parent.verticalCenter
                        x: 10
                        Text { text: display + "  [" + activity + "]"; font.pixelSize: 14 }
                        Text { text: uri; color: "#5b6573"; font.pixelSize: 11 }
                    }
                }
                spacing: 6
            }
        }
    }

    // Once the window has been drawn on screen, save what it shows.
    onFrameSwapped: {
        if (pictureFile === "" || saving)
            return
        saving = true
        contentItem.grabToImage(function(result) {
            if (!result.saveToFile(pictureFile))
                console.error("cannot write " + pictureFile)
            Qt.quit()
        })
    }
    property bool saving: false
}
