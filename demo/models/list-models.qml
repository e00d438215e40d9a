// Lists every row of both models, then quits. Run by Qt's own `qml` runtime; the
// window stays hidden, so the offscreen platform is enough.
import QtQuick 2.15
import QtQuick.Window 2.15
import org.zephyn.models 0.1

Window {
    visible: false

    ActivityModel { id: activities }
    ResourceModel { id: resources }

    function cell(model, row, role) {
        return model.data(model.index(row, 0), role)
    }

    Component.onCompleted: {
        console.log(activities.headerData(0, Qt.Horizontal, Qt.DisplayRole) + " rows: "
                    + activities.rowCount())
        for (var i = 0; i < activities.rowCount(); ++i) {
            console.log("  " + cell(activities, i, ActivityModel.IdRole)
                        + " | " + cell(activities, i, ActivityModel.NameRole)
                        + " | icon " + cell(activities, i, ActivityModel.IconRole)
                        + (cell(activities, i, ActivityModel.CurrentRole) ? " | current" : ""))
        }
        console.log(resources.headerData(0, Qt.Horizontal, Qt.DisplayRole) + " rows: "
                    + resources.rowCount())
        for (var j = 0; j < resources.rowCount(); ++j) {
            console.log("  " + cell(resources, j, Qt.DisplayRole)
                        + " | " + cell(resources, j, ResourceModel.UriRole)
                        + " | activity " + cell(resources, j, ResourceModel.ActivityRole))
        }
        Qt.callLater(Qt.quit)
    }
}
