#include "zephyn/models/activitymodel.h"

#include "activitiesstore.h"
#include "rowchange.h"
#include "storewatcher.h"

namespace Zephyn {
namespace Models {

struct ActivityModel::Private
{
    QString path;
    QVector<Activity> activities;
};

ActivityModel::ActivityModel(QObject *parent)
    : QAbstractListModel(parent), d(new Private{ActivitiesStore::location(), {}})
{
    d->activities = ActivitiesStore::loadFrom(d->path).activities;
    // The rows follow the store: each change of the file is read again.
    auto *watcher = new StoreWatcher(d->path, this);
    connect(watcher, &StoreWatcher::changed, this, &ActivityModel::reload);
}

ActivityModel::~ActivityModel() = default;

// Replaces the rows with the store's current ones and tells views what changed, with the
// narrowest signal that describes it.
void ActivityModel::reload()
{
    QVector<Activity> next = ActivitiesStore::loadFrom(d->path).activities;
    const RowChange change = rowChange(d->activities, next);
    switch (change.kind) {
    case RowChange::None:
        return;
    case RowChange::Inserted:
        beginInsertRows({}, change.first, change.last);
        d->activities = std::move(next);
        endInsertRows();
        return;
    case RowChange::Removed:
        beginRemoveRows({}, change.first, change.last);
        d->activities = std::move(next);
        endRemoveRows();
        return;
    case RowChange::Changed:
        d->activities = std::move(next);
        Q_EMIT dataChanged(index(change.first), index(change.last));
        return;
    case RowChange::Reset:
        beginResetModel();
        d->activities = std::move(next);
        endResetModel();
        return;
    }
}

int ActivityModel::rowCount(const QModelIndex &parent) const
{
    // A list: only the invisible root has children.
    return parent.isValid() ? 0 : d->activities.size();
}

QVariant ActivityModel::data(const QModelIndex &index, int role) const
{
    // Quietly refuse indexes of other models and rows that are gone (checkIndex() would
    // log a warning for each).
    if (!index.isValid() || index.model() != this || index.column() != 0
        || index.row() >= d->activities.size())
        return {};
    const Activity &activity = d->activities.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return activity.name.isEmpty() ? activity.id : activity.name;
    case Qt::DecorationRole:
    case IconRole:
        return activity.icon;
    case IdRole:
        return activity.id;
    case NameRole:
        return activity.name;
    case CurrentRole:
        return activity.current;
    default:
        return {};
    }
}

QVariant ActivityModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return tr("Activity");
    return QAbstractListModel::headerData(section, orientation, role);
}

QHash<int, QByteArray> ActivityModel::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    // "id" is reserved in QML, so the id role is "activityId".
    names.insert(IdRole, "activityId");
    names.insert(NameRole, "name");
    names.insert(IconRole, "icon");
    names.insert(CurrentRole, "current");
    return names;
}

} // namespace Models
} // namespace Zephyn
