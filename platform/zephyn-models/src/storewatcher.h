#pragma once

#include <QtCore/QFileSystemWatcher>
#include <QtCore/QObject>
#include <QtCore/QTimer>

namespace Zephyn {
namespace Models {

// Tells when the activities store at `path` may have changed. It watches the file and
// the folder that holds it: editors and tools save by writing a new file and renaming it
// over the old one, which ends a watch on the file itself, and a file that does not exist
// yet can only be seen appearing in its folder. A burst of notifications (a save written
// in several steps) is folded into one changed() signal once the file has settled.
class StoreWatcher : public QObject
{
    Q_OBJECT

public:
    StoreWatcher(const QString &path, QObject *parent);

Q_SIGNALS:
    void changed();

private:
    void notified();
    void watchFile();

    const QString m_path;
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer m_settle;
};

} // namespace Models
} // namespace Zephyn
