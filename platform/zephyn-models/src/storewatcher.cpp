#include "storewatcher.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QFileInfo>

namespace Zephyn {
namespace Models {

namespace {
// Long enough to fold the steps of one save, short enough to feel immediate.
constexpr int kSettleMilliseconds = 50;
} // namespace

StoreWatcher::StoreWatcher(const QString &path, QObject *parent)
    : QObject(parent), m_path(path)
{
    m_settle.setSingleShot(true);
    m_settle.setInterval(kSettleMilliseconds);
    connect(&m_settle, &QTimer::timeout, this, [this] {
        watchFile();
        Q_EMIT changed();
    });

    // Notifications need an application's event loop; without one (a bare library user)
    // the models keep what they read first, and a watcher would only print warnings.
    if (QCoreApplication::instance() == nullptr)
        return;
    m_watcher = new QFileSystemWatcher(this);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, &StoreWatcher::notified);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, &StoreWatcher::notified);
    const QString folder = QFileInfo(m_path).absolutePath();
    if (QFileInfo(folder).isDir())
        m_watcher->addPath(folder);
    watchFile();
}

void StoreWatcher::notified()
{
    m_settle.start();
}

// A file replaced by a rename is a new file: watch it again (the watcher drops a path
// whose file went away).
void StoreWatcher::watchFile()
{
    if (QFileInfo::exists(m_path) && !m_watcher->files().contains(m_path))
        m_watcher->addPath(m_path);
}

} // namespace Models
} // namespace Zephyn
