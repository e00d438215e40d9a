// The module as QML code uses it: views over both models, their rows and role names in
// delegates, and views that follow when the store file changes. Run by qmltestrunner
// (run_qml_tests.sh), with ZEPHYN_ACTIVITIES_FILE naming "activities.json" beside a copy
// of this file; the test writes that file itself (XMLHttpRequest PUT).
import QtQuick 2.15
import QtTest 1.15
import org.zephyn.models 0.1

Item {
    id: root
    width: 320
    height: 480

    readonly property var store: ({
        currentActivity: "work",
        activities: [
            { id: "home", name: "Home", icon: "user-home" },
            { id: "work", name: "Work", icon: "folder-work" },
            { id: "bare" }
        ],
        resources: [
            { uri: "file:///plans.odt", title: "Plans", activity: "work" },
            { uri: "https://example.org/", activity: "home" }
        ]
    })

    ListView {
        id: activityView
        width: parent.width
        height: parent.height / 2
        model: ActivityModel {}
        delegate: Text {
            // Every role by its delegate name.
            readonly property var row: ({ activityId: activityId, name: name, icon: icon,
                                          current: current, display: display,
                                          decoration: decoration })
            text: display + (current ? " (current)" : "")
        }
    }

    Column {
        y: parent.height / 2
        Repeater {
            id: resourceRepeater
            model: ResourceModel {}
            delegate: Text {
                readonly property var row: ({ uri: uri, title: title, activity: activity,
                                              display: display })
                text: display
            }
        }
    }

    TestCase {
        name: "Models"
        when: windowShown

        // Writes the store file next to this document; waits until the write is done.
        function writeStore(content) {
            var done = false
            var request = new XMLHttpRequest()
            request.onreadystatechange = function() {
                if (request.readyState === XMLHttpRequest.DONE)
                    done = true
            }
            request.open("PUT", Qt.resolvedUrl("activities.json"))
            request.send(JSON.stringify(content))
            tryVerify(function() { return done }, 5000, "the store was not written")
        }

        function activityRows() {
            var rows = []
            for (var i = 0; i < activityView.count; ++i)
                rows.push(activityView.itemAtIndex(i).row)
            return rows
        }

        function resourceRows() {
            var rows = []
            for (var i = 0; i < resourceRepeater.count; ++i)
                rows.push(resourceRepeater.itemAt(i).row)
            return rows
        }

        // Each test starts from the same store; the views follow it from an empty start.
        function init() {
            writeStore(root.store)
            tryCompare(activityView, "count", 3, 10000)
            tryCompare(resourceRepeater, "count", 2, 10000)
            tryVerify(function() { return rowIs(0, "activityId", "home") }, 10000)
        }

        // Whether the view's delegate for `index` exists and shows `value` in `role`.
        function rowIs(index, role, value) {
            var item = activityView.itemAtIndex(index)
            return item !== null && item.row[role] === value
        }

        function test_activityRowsThroughAListView() {
            compare(activityRows(), [
                { activityId: "home", name: "Home", icon: "user-home", current: false,
                  display: "Home", decoration: "user-home" },
                { activityId: "work", name: "Work", icon: "folder-work", current: true,
                  display: "Work", decoration: "folder-work" },
                { activityId: "bare", name: "", icon: "", current: false,
                  display: "bare", decoration: "" }
            ])
        }

        function test_resourceRowsThroughARepeater() {
            compare(resourceRows(), [
                { uri: "file:///plans.odt", title: "Plans", activity: "work", display: "Plans" },
                { uri: "https://example.org/", title: "", activity: "home",
                  display: "https://example.org/" }
            ])
        }

        function test_viewsFollowTheStoreFile() {
            var changed = JSON.parse(JSON.stringify(root.store))
            changed.currentActivity = "trip"
            changed.activities.push({ id: "trip", name: "Trip", icon: "globe" })
            changed.resources.splice(0, 1)
            writeStore(changed)
            tryCompare(activityView, "count", 4, 10000)
            tryCompare(resourceRepeater, "count", 1, 10000)
            tryVerify(function() { return rowIs(3, "current", true) }, 10000)
            compare(activityView.itemAtIndex(3).row.name, "Trip")
            compare(activityView.itemAtIndex(1).row.current, false)
            compare(resourceRepeater.itemAt(0).row.uri, "https://example.org/")

            writeStore({})
            tryCompare(activityView, "count", 0, 10000)
            tryCompare(resourceRepeater, "count", 0, 10000)
        }
    }
}
