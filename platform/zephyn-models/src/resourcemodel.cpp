#include "zephyn/models/resourcemodel.h"

#include "activitiesstore.h"

namespace Zephyn {
namespace Models {

struct ResourceModel::Private
{
    QVector<Resource> resources;
};

ResourceModel::ResourceModel(QObject *parent)
    : QAbstractListModel(parent), d(new Private{ActivitiesStore::load().resources})
{
}

ResourceModel::~ResourceModel() = default;

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
