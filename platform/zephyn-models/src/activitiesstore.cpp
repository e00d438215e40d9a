#include "activitiesstore.h"

#include <QtCore/QFile>
#include <QtCore/QJsonArray>
#include <QtCore/QJsonDocument>
#include <QtCore/QJsonObject>
#include <QtCore/QLoggingCategory>
#include <QtCore/QSet>
#include <QtCore/QStandardPaths>

namespace Zephyn {
namespace Models {

namespace {

Q_LOGGING_CATEGORY(lcStore, "zephyn.models")

// A store holds a handful of activities; anything this big is not one.
constexpr qint64 kMaxStoreSize = 16 * 1024 * 1024;

// An optional string member: absent is fine, any other type is not.
bool optionalString(const QJsonObject &entry, const char *key, QString *out)
{
    const QJsonValue value = entry.value(QLatin1String(key));
    if (value.isUndefined())
        return true;
    if (!value.isString())
        return false;
    *out = value.toString();
    return true;
}

// An optional array member; absent means empty.
bool optionalArray(const QJsonObject &root, const char *key, QJsonArray *out)
{
    const QJsonValue value = root.value(QLatin1String(key));
    if (value.isUndefined())
        return true;
    if (!value.isArray())
        return false;
    *out = value.toArray();
    return true;
}

QVector<Activity> readActivities(const QString &path, const QJsonArray &entries,
                                 const QString &current)
{
    QVector<Activity> activities;
    QSet<QString> seen;
    for (int i = 0; i < entries.size(); ++i) {
        const QJsonObject entry = entries.at(i).toObject();
        Activity activity;
        if (!entries.at(i).isObject() || !optionalString(entry, "id", &activity.id)
            || activity.id.isEmpty() || !optionalString(entry, "name", &activity.name)
            || !optionalString(entry, "icon", &activity.icon)) {
            qCWarning(lcStore, "%s: skipping activity %d: needs a non-empty string \"id\" "
                               "and string \"name\" and \"icon\"",
                      qUtf8Printable(path), i);
            continue;
        }
        if (seen.contains(activity.id)) {
            qCWarning(lcStore, "%s: skipping activity %d: id \"%s\" is already taken",
                      qUtf8Printable(path), i, qUtf8Printable(activity.id));
            continue;
        }
        seen.insert(activity.id);
        activity.current = activity.id == current;
        activities.append(activity);
    }
    if (!current.isEmpty() && !seen.contains(current))
        qCWarning(lcStore, "%s: current activity \"%s\" is not in the store",
                  qUtf8Printable(path), qUtf8Printable(current));
    return activities;
}

QVector<Resource> readResources(const QString &path, const QJsonArray &entries,
                                const QVector<Activity> &activities)
{
    QSet<QString> known;
    for (const Activity &activity : activities)
        known.insert(activity.id);

    QVector<Resource> resources;
    for (int i = 0; i < entries.size(); ++i) {
        const QJsonObject entry = entries.at(i).toObject();
        Resource resource;
        if (!entries.at(i).isObject() || !optionalString(entry, "uri", &resource.uri)
            || resource.uri.isEmpty() || !optionalString(entry, "title", &resource.title)
            || !optionalString(entry, "activity", &resource.activity)) {
            qCWarning(lcStore, "%s: skipping resource %d: needs a non-empty string \"uri\" "
                               "and string \"title\" and \"activity\"",
                      qUtf8Printable(path), i);
            continue;
        }
        if (!known.contains(resource.activity)) {
            qCWarning(lcStore, "%s: skipping resource %d: activity \"%s\" is not in the store",
                      qUtf8Printable(path), i, qUtf8Printable(resource.activity));
            continue;
        }
        resources.append(resource);
    }
    return resources;
}

} // namespace

QString ActivitiesStore::location()
{
    const QString fromEnvironment = qEnvironmentVariable("ZEPHYN_ACTIVITIES_FILE");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
           + QStringLiteral("/zephyn/activities.json");
}

ActivitiesStore ActivitiesStore::load()
{
    return loadFrom(location());
}

ActivitiesStore ActivitiesStore::loadFrom(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcStore, "cannot read the activities store %s: %s", qUtf8Printable(path),
                  qUtf8Printable(file.errorString()));
        return {};
    }
    // Read one byte past the limit so that an oversized file is caught even where size()
    // cannot tell (pipes, special files).
    const QByteArray content = file.read(kMaxStoreSize + 1);
    if (content.size() > kMaxStoreSize) {
        qCWarning(lcStore, "the activities store %s is larger than %lld bytes; ignoring it",
                  qUtf8Printable(path), static_cast<long long>(kMaxStoreSize));
        return {};
    }

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        qCWarning(lcStore, "the activities store %s is corrupt at byte %d: %s",
                  qUtf8Printable(path), error.offset, qUtf8Printable(error.errorString()));
        return {};
    }
    const QJsonObject root = document.object();
    QJsonArray activityEntries;
    QJsonArray resourceEntries;
    QString current;
    if (!document.isObject() || !optionalArray(root, "activities", &activityEntries)
        || !optionalArray(root, "resources", &resourceEntries)
        || !optionalString(root, "currentActivity", &current)) {
        qCWarning(lcStore, "the activities store %s is corrupt: expected an object with arrays "
                           "\"activities\" and \"resources\" and a string \"currentActivity\"",
                  qUtf8Printable(path));
        return {};
    }

    ActivitiesStore store;
    store.activities = readActivities(path, activityEntries, current);
    store.resources = readResources(path, resourceEntries, store.activities);
    return store;
}

} // namespace Models
} // namespace Zephyn
