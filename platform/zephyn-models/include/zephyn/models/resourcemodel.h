#pragma once

#include "zephynmodels_export.h"

#include <QtCore/QAbstractListModel>

#include <memory>

namespace Zephyn {
namespace Models {

// Resources (documents, pages, ...) linked to activities, one row per link, in the
// order of the activities store. Read, validated and followed like ActivityModel's rows.
class ZEPHYN_MODELS_EXPORT ResourceModel : public QAbstractListModel
{
    Q_OBJECT

public:
    enum Role {
        UriRole = Qt::UserRole + 1, // QString
        TitleRole,                  // QString
        ActivityRole,               // QString: id of the activity the resource is linked to
    };
    Q_ENUM(Role)

    explicit ResourceModel(QObject *parent = nullptr);
    ~ResourceModel() override;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    // Qt::DisplayRole gives the title (the URI when the title is empty).
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
