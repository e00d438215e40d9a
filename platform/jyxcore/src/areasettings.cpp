#include "areasettings.h"

#include <QtCore/QList>
#include <QtCore/QLoggingCategory>
#include <QtCore/QtGlobal>

namespace JyxDebug {

namespace {

Q_LOGGING_CATEGORY(lcSettings, "jyx.settings")

// Parses "12, 1200,all" into numbers; "all" is reported through `all` when allowed.
// Entries that are not numbers are collected in `rejected`.
std::set<int> parseAreaList(const char *variable, bool allowAll, bool *all,
                            QList<QByteArray> *rejected)
{
    std::set<int> areas;
    const QByteArray value = qgetenv(variable);
    for (const QByteArray &raw : value.split(',')) {
        const QByteArray entry = raw.trimmed();
        if (entry.isEmpty())
            continue;
        if (allowAll && entry == "all") {
            *all = true;
            continue;
        }
        bool ok = false;
        const int area = entry.toInt(&ok);
        if (ok)
            areas.insert(area);
        else
            rejected->append(QByteArray(variable) + "=" + entry);
    }
    return areas;
}

} // namespace

AreaSettings &AreaSettings::instance()
{
    static AreaSettings settings;
    return settings;
}

AreaSettings::EnvSettings AreaSettings::readEnvironment()
{
    EnvSettings env;
    env.off = parseAreaList("JYX_DEBUG_OFF", true, &env.allOff, &env.rejected);
    env.on = parseAreaList("JYX_DEBUG_ON", false, nullptr, &env.rejected);
    return env;
}

// Warnings about malformed entries are emitted only after the settings are stored and
// the lock is released: a message handler may itself ask which areas are on.
void AreaSettings::store(EnvSettings env, bool onlyIfUnloaded)
{
    QList<QByteArray> rejected;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (onlyIfUnloaded && m_loaded)
            return;
        if (!onlyIfUnloaded)
            m_overrides.clear();
        rejected = std::move(env.rejected);
        m_env = std::move(env);
        m_loaded = true;
    }
    for (const QByteArray &entry : rejected)
        qCWarning(lcSettings, "ignoring %s: not a debug area number", entry.constData());
}

bool AreaSettings::isEnabled(int area, bool offByDefault)
{
    bool loaded;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        loaded = m_loaded;
    }
    if (!loaded)
        store(readEnvironment(), true);

    std::lock_guard<std::mutex> lock(m_mutex);
    if (auto it = m_overrides.find(area); it != m_overrides.end())
        return it->second;
    if (m_env.on.count(area))
        return true;
    if (m_env.off.count(area) || m_env.allOff)
        return false;
    return !offByDefault;
}

void AreaSettings::setEnabled(int area, bool enabled)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_overrides[area] = enabled;
}

void AreaSettings::reset()
{
    store(readEnvironment(), false);
}

const char *AreaSettings::categoryName(int area)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QByteArray &name = m_categories[area];
    if (name.isEmpty())
        name = "jyx.area" + QByteArray::number(area);
    return name.constData();
}

} // namespace JyxDebug
