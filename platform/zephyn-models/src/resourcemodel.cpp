#include "zephyn/models/resourcemodel.h"

#include "activitiesstore.h"
#include "rowchange.h"
#include "storewatcher.h"

namespace Zephyn {
namespace Models {

struct ResourceModel::Private
{
    QString path;
    QVector<Resource> resources;
};

ResourceModel::ResourceModel(QObject *parent)
    : QAbstractListModel(parent), d(new Private{ActivitiesStore::location(), {}})
{
    d->resources = ActivitiesStore::loadFrom(d->path).resources;
    // The rows follow the store: each change of the file is read again.
    auto *watcher = new StoreWatcher(d->path, this);
    connect(watcher, &StoreWatcher::changed, this, &ResourceModel::reload);
}

ResourceModel::~ResourceModel() = default;

// Replaces the rows with the store's current ones and tells views what changed, with the
// narrowest signal that describes it.
void ResourceModel::reload()
{
    QVector<Resource> next = ActivitiesStore::loadFrom(d->path).resources;
    const RowChange change = rowChange(d->resources, next);
    switch (change.kind) {
    case RowChange::None:
        return;
    case RowChange::Inserted:
        beginInsertRows({}, change.first, change.last);
        d->resources = std::move(next);
        endInsertRows();
        return;
    case RowChange::Removed:
        beginRemoveRows({}, change.first, change.last);
        d->resources = std::move(next);
        endRemoveRows();
        return;
    case RowChange::Changed:
        d->resources = std::move(next);
        Q_EMIT dataChanged(index(change.first), index(change.last));
        return;
    case RowChange::Reset:
        beginResetModel();
        d->resources = std::move(next);
        endResetModel();
        return;
    }
}

int ResourceModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : d->resources.size();
}

QVariant ResourceModel::data(const QModelIndex &index, int role) const
{
    // Quietly refuse indexes of other models and rows that are gone (checkIndex() would
    // log a warning for each).
    if (!index.isValid() || index.model() != this || index.column() != 0
        || index.row() >= d->resources.size())
        return {};
    const Resource &resource = d->resources.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return resource.title.isEmpty() ? resource.uri : resource.title;
    case UriRole:
        return resource.uri;
    case TitleRole:
        return resource.title;
    case ActivityRole:
        return resource.activity;
    default:
        return {};
    }
}

QVariant ResourceModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return tr("Resource");
    return QAbstractListModel::headerData(section, orientation, role);
}

QHash<int, QByteArray> ResourceModel::roleNames() const
{
    QHash<int, QByteArray> names = QAbstractListModel::roleNames();
    names.insert(UriRole, "uri");
    names.insert(TitleRole, "title");
    names.insert(ActivityRole, "activity");
    return names;
}

} // namespace Models
} // namespace Zephyn
