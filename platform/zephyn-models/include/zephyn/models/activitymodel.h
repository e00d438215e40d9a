#pragma once

#include "zephynmodels_export.h"

#include <QtCore/QAbstractListModel>

#include <memory>

namespace Zephyn {
namespace Models {

// The user's activities, one row each, in the order of the activities store.
// The store is read when the model is created and again whenever the file changes (rows
// follow with insert, remove, change or reset signals); a missing or corrupt store gives an
// empty model and a warning in the category "zephyn.models".
class ZEPHYN_MODELS_EXPORT ActivityModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        IdRole = Qt::UserRole + 1, // QString: the activity's unique id
        NameRole,                  // QString
        IconRole,                  // QString: an icon name
        CurrentRole,               // bool: whether this is the current activity
    };
    Q_ENUM(Role)

    explicit ActivityModel(QObject *parent = nullptr);
    ~ActivityModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    // Qt::DisplayRole gives the name (the id when the name is empty),
    // Qt::DecorationRole the icon name.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    void reload();

    struct Private;
    const std::unique_ptr<Private> d;
};

} // namespace Models
} // namespace Zephyn
