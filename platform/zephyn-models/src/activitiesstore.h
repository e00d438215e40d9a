#pragma once

// The activities store: a JSON file listing activities and the resources linked to them.
//
//   {
//     "currentActivity": "work",
//     "activities": [ { "id": "work", "name": "Work", "icon": "folder-work" } ],
//     "resources":  [ { "uri": "file:///notes.txt", "title": "Notes", "activity": "work" } ]
//   }
//
// Where it is: the file named by ZEPHYN_ACTIVITIES_FILE, otherwise
// "zephyn/activities.json" in the user's data directory (~/.local/share by default).

#include <QtCore/QString>
#include <QtCore/QVector>

namespace Zephyn {
namespace Models {

struct Activity
{
    QString id;
    QString name;
    QString icon;
    bool current = false;

    bool operator==(const Activity &other) const
    {
        return id == other.id && name == other.name && icon == other.icon
               && current == other.current;
    }
};

struct Resource
{
    QString uri;
    QString title;
    QString activity;

    bool operator==(const Resource &other) const
    {
        return uri == other.uri && title == other.title && activity == other.activity;
    }
};

struct ActivitiesStore
{
    QVector<Activity> activities;
    QVector<Resource> resources;

    static QString location();

    // Reads the store at location(). A file that is missing, unreadable, too large or not
    // a store at all gives an empty store; single entries that make no sense are skipped.
    // Every such problem is reported as a warning.
    static ActivitiesStore load();
    static ActivitiesStore loadFrom(const QString &path);
};

} // namespace Models
} // namespace Zephyn
