#pragma once

// Which debug areas are switched on, from the environment and from explicit calls.
// Safe to use from any thread.

#include <QtCore/QByteArray>
#include <QtCore/QList>

#include <map>
#include <mutex>
#include <optional>
#include <set>

namespace JyxDebug {

class AreaSettings
{
public:
    static AreaSettings &instance();

    bool isEnabled(int area, bool offByDefault);
    void setEnabled(int area, bool enabled);
    void reset();

    // Interned category name "jyx.area<N>": the message context keeps only the pointer.
    const char *categoryName(int area);

private:
    struct EnvSettings
    {
        std::set<int> on;
        std::set<int> off;
        bool allOff = false;
        QList<QByteArray> rejected; // malformed entries, reported once stored
    };

    static EnvSettings readEnvironment();
    void store(EnvSettings env, bool onlyIfUnloaded);

    std::mutex m_mutex;
    bool m_loaded = false;
    EnvSettings m_env;
    std::map<int, bool> m_overrides;
    std::map<int, QByteArray> m_categories;
};

} // namespace JyxDebug
